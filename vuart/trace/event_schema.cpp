#include "trace/event_schema.h"

#include <sys/wait.h>

#include <cstring>

#include "files/messages.h"
#include "x86/executor.h"

namespace vuart::trace_events {

namespace {

JsonObject &with_result(JsonObject &event, long result)
{
  event.number("result", result < 0 ? -1 : result);
  if (result < 0) {
    event.text("errno", strerrorname_np(static_cast<int>(-result)));
  }
  return event;
}

}  // namespace

JsonObject ioperm(pid_t tid, std::uint64_t from, std::uint64_t num, int turn_on, long result)
{
  JsonObject event;
  event.text("event", "ioperm")
      .number("tid", tid)
      .number("from", static_cast<std::int64_t>(from))
      .number("num", static_cast<std::int64_t>(num))
      .number("turn_on", turn_on);
  return with_result(event, result);
}

JsonObject iopl(pid_t tid, unsigned level, long result)
{
  JsonObject event;
  event.text("event", "iopl").number("tid", tid).number("level", level);
  return with_result(event, result);
}

JsonObject port(pid_t tid, const user_regs_struct &regs, const PortInstruction &instruction)
{
  JsonObject event;
  event.text("event", "port")
      .number("tid", tid)
      .number("rip", static_cast<std::int64_t>(regs.rip))
      .text("kind", op_name(instruction.op))
      .flag("rep", instruction.rep)
      .number("port", port_of(instruction, regs))
      .number("width", instruction.width);
  if (instruction.op == PortOp::ins || instruction.op == PortOp::outs) {
    event.text("direction", direction_of(regs) == Direction::down ? "down" : "up");
  }
  return event;
}

JsonObject port_done(std::uint64_t count, std::optional<std::uint64_t> fault)
{
  JsonObject event;
  event.number("count", static_cast<std::int64_t>(count));
  if (fault) {
    event.number("fault", static_cast<std::int64_t>(*fault));
  }
  return event;
}

JsonObject refused(pid_t tid, const user_regs_struct &regs, const PortInstruction &instruction)
{
  return JsonObject()
      .text("event", "refused")
      .number("tid", tid)
      .number("rip", static_cast<std::int64_t>(regs.rip))
      .text("kind", op_name(instruction.op))
      .number("port", port_of(instruction, regs))
      .number("width", instruction.width);
}

JsonObject device(const DeviceEvent &event)
{
  switch (event.kind) {
  case DeviceEvent::Kind::received:
    return JsonObject().text("event", "receive").number("port", event.port).bytes(bytes_field, event.bytes);
  case DeviceEvent::Kind::post_code: {
    JsonObject codes;
    codes.text("event", "post").number("port", event.port).number("code", event.bytes.back());
    if (event.bytes.size() > 1) {
      codes.bytes("codes", event.bytes);  // a rep outsb's run, in order; `code` is its last
    }
    return codes;
  }
  case DeviceEvent::Kind::debug_console: break;
  }
  return JsonObject().text("event", "debugcon").number("port", event.port).bytes(bytes_field, event.bytes);
}

JsonObject write(pid_t tid, int fd, bool snapshot)
{
  return JsonObject().text("event", "write").number("tid", tid).number("fd", fd).flag("snapshot", snapshot);
}

JsonObject copy(pid_t tid, int fd, std::string_view call, std::string_view from, std::uint64_t count)
{
  return JsonObject()
      .text("event", "copy")
      .number("tid", tid)
      .number("fd", fd)
      .text("call", call)
      .text("from", from)
      .number("count", static_cast<std::int64_t>(count));
}

JsonObject send(pid_t tid, int fd, std::string_view call, std::uint64_t count)
{
  return JsonObject()
      .text("event", "send")
      .number("tid", tid)
      .number("fd", fd)
      .text("call", call)
      .number("count", static_cast<std::int64_t>(count));
}

JsonObject exit(int status)
{
  JsonObject event;
  event.text("event", "exit");
  if (WIFEXITED(status)) {
    event.number("status", WEXITSTATUS(status));
  } else {
    event.number("signal", WTERMSIG(status)).text("name", signal_name(WTERMSIG(status)));
  }
  return event;
}

}  // namespace vuart::trace_events

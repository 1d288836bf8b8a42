#include "syscalls.h"

#include <linux/audit.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ptrace_calls.h"
#include "seccomp_filter.h"
#include "tracee_memory.h"

namespace vuart {

namespace {

constexpr long syscall_skipped = -1;
constexpr std::size_t copy_piece = 1U << 20;  // a large write reaches the trace through a buffer this size
constexpr std::size_t max_iovecs = 1024;      // IOV_MAX

// The iovecs of a vectored output call, as address and length, in the layout of its ABI.
std::vector<std::pair<std::uint64_t, std::uint64_t>> read_iovecs(pid_t tid, const PendingWrite &write)
{
  const std::size_t count = std::min<std::uint64_t>(write.count, max_iovecs);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> iovecs;
  if (write.call.i386) {
    std::vector<std::array<std::uint32_t, 2>> narrow(count);
    const std::size_t bytes =
        read_tracee(tid, write.buffer,
                    {reinterpret_cast<std::uint8_t *>(narrow.data()), narrow.size() * sizeof narrow[0]}, Direction::up);
    for (std::size_t i = 0; i < bytes / sizeof narrow[0]; ++i) {
      iovecs.emplace_back(narrow[i][0], narrow[i][1]);
    }
  } else {
    std::vector<iovec> wide(count);
    const std::size_t bytes =
        read_tracee(tid, write.buffer, {reinterpret_cast<std::uint8_t *>(wide.data()), wide.size() * sizeof wide[0]},
                    Direction::up);
    for (std::size_t i = 0; i < bytes / sizeof wide[0]; ++i) {
      iovecs.emplace_back(reinterpret_cast<std::uint64_t>(wide[i].iov_base), wide[i].iov_len);
    }
  }
  return iovecs;
}

// The thread of the process that its PID namespace numbers `own_number`.
std::optional<pid_t> thread_numbered(pid_t process, pid_t own_number)
{
  std::error_code error;
  for (const auto &task : std::filesystem::directory_iterator("/proc/" + std::to_string(process) + "/task", error)) {
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("NSpid:") && line.ends_with("\t" + std::to_string(own_number))) {
        return std::stoi(task.path().filename());
      }
    }
  }
  return std::nullopt;
}

std::string descriptor_name(pid_t tid, std::uint64_t fd)
{
  std::array<char, 4096> name{};
  const std::string link = "/proc/" + std::to_string(tid) + "/fd/" + std::to_string(static_cast<int>(fd));
  const ssize_t length = readlink(link.c_str(), name.data(), name.size());
  return length > 0 ? std::string(name.data(), static_cast<std::size_t>(length)) : "fd " + std::to_string(fd);
}

// ioperm or iopl, in any ABI: x32's are the 64-bit ones with the x32 bit.
std::optional<Syscalls::PortRequest> port_request(long number, bool i386)
{
  const long x32 = i386 ? 0 : x32_call;
  if (number == (i386 ? i386_ioperm : SYS_ioperm) || number == (x32 | SYS_ioperm)) {
    return Syscalls::PortRequest::ioperm;
  }
  if (number == (i386 ? i386_iopl : SYS_iopl) || number == (x32 | SYS_iopl)) {
    return Syscalls::PortRequest::iopl;
  }
  return std::nullopt;
}

std::optional<SegvState::Call> sigaction_call(long number, bool i386)
{
  using Call = SegvState::Call;
  if (!i386) {
    return number == SYS_rt_sigaction ? std::optional(Call::rt_sigaction) : std::nullopt;
  }
  switch (number) {
  case i386_rt_sigaction: return Call::rt_sigaction_i386;
  case i386_sigaction: return Call::sigaction_i386;
  case i386_signal: return Call::signal_i386;
  default: return std::nullopt;
  }
}

}  // namespace

void Syscalls::emulate_port_request(pid_t tid, Thread &thread, user_regs_struct &regs, PortRequest request,
                                    const std::array<std::uint64_t, 6> &arguments)
{
  long result;
  JsonObject event;
  event.text("event", request == PortRequest::ioperm ? "ioperm" : "iopl").number("tid", tid);
  if (request == PortRequest::ioperm) {
    event.number("from", static_cast<std::int64_t>(arguments[0]))
        .number("num", static_cast<std::int64_t>(arguments[1]))
        .number("turn_on", static_cast<int>(arguments[2]));
    result = options_.refuse ? -*options_.refuse
                             : thread.permissions.ioperm(arguments[0], arguments[1], static_cast<int>(arguments[2]));
  } else {
    const auto level = static_cast<unsigned>(arguments[0]);  // iopl takes an unsigned int
    event.number("level", level);
    result = options_.refuse ? -*options_.refuse : thread.permissions.iopl(level);
  }
  event.number("result", result < 0 ? -1 : result);
  if (result < 0) {
    event.text("errno", strerrorname_np(static_cast<int>(-result)));
  }
  trace_.write(event);
  regs.orig_rax = static_cast<unsigned long long>(syscall_skipped);
  regs.rax = static_cast<unsigned long long>(result);
  set_registers(tid, regs);
  resume(tid);
}

void Syscalls::at_entry(pid_t tid, Thread &thread)
{
  const std::optional<unsigned long> marker = event_message(tid);
  auto regs = registers(tid);
  if (!marker || !regs) {
    return;
  }
  const auto number = static_cast<long>(regs->orig_rax);
  const bool ours = *marker == seccomp_marker;
  __ptrace_syscall_info call{};
  if (ours && ptrace(PTRACE_GET_SYSCALL_INFO, tid, sizeof call, &call) > 0 && call.op == PTRACE_SYSCALL_INFO_SECCOMP) {
    // The i386 ABI's requests, through int 0x80, are the same calls with numbers of their own.
    const bool i386 = call.arch == AUDIT_ARCH_I386;
    const auto called = static_cast<long>(call.seccomp.nr);
    std::array<std::uint64_t, 6> arguments{};
    std::copy(std::begin(call.seccomp.args), std::end(call.seccomp.args), arguments.begin());
    if (const auto request = port_request(called, i386)) {
      emulate_port_request(tid, thread, *regs, *request, arguments);
      return;
    }
    if (const auto segv_call = sigaction_call(called, i386); segv_call && arguments[0] == SIGSEGV) {
      SegvState::at_sigaction_entry(tid, thread, *segv_call, arguments);
      resume(tid, 0, true);
      return;
    }
    if (const auto output = output_call(i386, called)) {
      at_output_call(tid, thread, *output, arguments);
      return;
    }
  }
  if (ours && (number == SYS_rt_sigqueueinfo || number == SYS_rt_tgsigqueueinfo)) {
    const bool to_thread = number == SYS_rt_tgsigqueueinfo;
    siginfo_t queued{};
    if (read_tracee(tid, to_thread ? regs->r10 : regs->rdx, {reinterpret_cast<std::uint8_t *>(&queued), sizeof queued},
                    Direction::up) == sizeof queued &&
        queued.si_code == SI_KERNEL) {
      // The kernel lets a process queue SI_KERNEL only to itself, and names the
      // thread as the program's PID namespace numbers it.
      thread.queuing_segv =
          to_thread ? thread_numbered(thread.process, static_cast<pid_t>(regs->rsi)) : std::optional(thread.process);
    }
    resume(tid, 0, true);
    return;
  }
  // A stop that the program's own filter asked for: with no tracer of its own
  // the kernel fails such a call with ENOSYS, and so does vuart.
  regs->orig_rax = static_cast<unsigned long long>(syscall_skipped);
  regs->rax = static_cast<unsigned long long>(-ENOSYS);
  set_registers(tid, *regs);
  resume(tid);
}

void Syscalls::at_output_call(pid_t tid, Thread &thread, const OutputCall &output,
                              const std::array<std::uint64_t, 6> &arguments)
{
  const auto stream = standard_stream(tid, static_cast<int>(arguments.at(output.fd_argument)));
  if (stream) {
    thread.write = PendingWrite{output, *stream, arguments[1], arguments[2], {}, 0, 0, {}};
    if (output.data == OutputCall::Data::elsewhere) {
      thread.write->source = descriptor_name(tid, arguments.at(output.from_argument));
    }
  }
  resume(tid, 0, stream.has_value());  // the rest at its exit, when it wrote a standard stream
}

bool Syscalls::at_exit(pid_t tid, Thread &thread, bool trace_busy)
{
  const auto regs = registers(tid);
  if (!regs) {
    return true;
  }
  const auto result = static_cast<long>(regs->rax);
  SegvState::at_sigaction_exit(thread, result);
  if (const auto target = std::exchange(thread.queuing_segv, std::nullopt); target && result == 0) {
    ++queued_segv_[*target];
  }
  if (thread.write && result > 0) {
    thread.write->written = static_cast<std::uint64_t>(result);
    if (trace_busy || !record_write(tid, thread)) {
      return false;
    }
  }
  thread.write.reset();
  resume(tid);
  return true;
}

std::optional<FileIdentity> identity_of(int fd)
{
  struct stat file {};
  return fstat(fd, &file) == 0 ? std::optional(FileIdentity{file.st_dev, file.st_ino}) : std::nullopt;
}

std::optional<int> Syscalls::standard_stream(pid_t tid, int fd) const
{
  struct stat file {};
  const std::string path = "/proc/" + std::to_string(tid) + "/fd/" + std::to_string(fd);
  if (fd < 0 || stat(path.c_str(), &file) != 0) {
    return std::nullopt;
  }
  const FileIdentity written{file.st_dev, file.st_ino};
  const bool output = written == standard_output_;
  const bool error = written == standard_error_;
  if (output && error) {
    return fd == STDERR_FILENO ? STDERR_FILENO : STDOUT_FILENO;
  }
  return output ? std::optional(STDOUT_FILENO) : error ? std::optional(STDERR_FILENO) : std::nullopt;
}

bool Syscalls::take_queued_segv(pid_t tid, pid_t process)
{
  auto queued = queued_segv_.find(tid);
  if (queued == queued_segv_.end()) {
    queued = queued_segv_.find(process);
  }
  if (queued == queued_segv_.end()) {
    return false;
  }
  if (--queued->second == 0) {
    queued_segv_.erase(queued);
  }
  return true;
}

bool Syscalls::record_write(pid_t tid, Thread &thread)
{
  PendingWrite &write = *thread.write;
  if (write.call.data == OutputCall::Data::elsewhere) {
    if (trace_.room_for_bytes() == 0) {
      return false;
    }
    trace_.write(JsonObject()
                     .text("event", "copy")
                     .number("tid", tid)
                     .number("fd", write.fd)
                     .text("call", write.call.name)
                     .text("from", write.source)
                     .number("count", static_cast<std::int64_t>(write.written)));
    thread.write.reset();
    return true;
  }
  if (write.pieces.empty()) {
    if (write.call.data == OutputCall::Data::buffer) {
      write.pieces.emplace_back(write.buffer, write.written);
    } else {
      std::uint64_t left = write.written;
      for (const auto &[base, length] : read_iovecs(tid, write)) {
        if (left == 0) {
          break;
        }
        write.pieces.emplace_back(base, std::min(length, left));
        left -= std::min(length, left);
      }
      write.written -= left;  // what the iovecs still show
    }
  }
  const std::size_t room = trace_.room_for_bytes();
  if (room == 0) {
    return false;
  }
  const std::uint64_t end = write.written - write.recorded > room ? write.recorded + room : write.written;
  TraceLine event(trace_, JsonObject().text("event", "write").number("tid", tid).number("fd", write.fd), "bytes");
  std::vector<std::uint8_t> piece(std::min<std::uint64_t>(end - write.recorded, copy_piece));
  bool readable = true;
  std::uint64_t offset = 0;  // of the piece's first byte in what was written
  for (const auto &[address, length] : write.pieces) {
    for (std::uint64_t at = std::max(offset, write.recorded); readable && at < std::min(offset + length, end);) {
      const std::size_t size = std::min<std::uint64_t>(piece.size(), std::min(offset + length, end) - at);
      const std::size_t got = read_tracee(tid, address + (at - offset), std::span(piece).first(size), Direction::up);
      event.bytes(std::span(piece).first(got));
      readable = got == size;
      at += size;
    }
    offset += length;
  }
  event.finish(JsonObject());
  write.recorded = readable ? end : write.written;
  if (write.recorded < write.written) {
    return false;
  }
  thread.write.reset();
  return true;
}

}  // namespace vuart

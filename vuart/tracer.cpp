#include "tracer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ptrace.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include "launch.h"
#include "pty.h"
#include "tracee_memory.h"

namespace vuart {

namespace {

constexpr std::uint64_t direction_flag = 1U << 10;
constexpr std::uint64_t chunk_bytes = 1U << 20;  // string transfers go through memory in pieces this size
constexpr long syscall_skipped = -1;

std::string signal_name(int signal)
{
  const char *abbreviation = sigabbrev_np(signal);
  return abbreviation != nullptr ? std::string("SIG") + abbreviation : "signal " + std::to_string(signal);
}

user_regs_struct registers(pid_t tid)
{
  user_regs_struct regs{};
  if (ptrace(PTRACE_GETREGS, tid, nullptr, &regs) != 0) {
    report_errno("PTRACE_GETREGS of thread " + std::to_string(tid));
  }
  return regs;
}

void set_registers(pid_t tid, const user_regs_struct &regs)
{
  if (ptrace(PTRACE_SETREGS, tid, nullptr, &regs) != 0) {
    report_errno("PTRACE_SETREGS of thread " + std::to_string(tid));
  }
}

// The signal a page fault at `address` raises: SEGV_ACCERR inside a mapping, SEGV_MAPERR outside.
siginfo_t page_fault(pid_t tid, std::uint64_t address)
{
  siginfo_t fault{};
  fault.si_signo = SIGSEGV;
  fault.si_code = is_mapped(tid, address) ? SEGV_ACCERR : SEGV_MAPERR;
  fault.si_addr = reinterpret_cast<void *>(address);  // NOLINT(performance-no-int-to-ptr): a tracee address
  return fault;
}

void resume(pid_t tid, int signal = 0, bool to_syscall_exit = false)
{
  if (ptrace(to_syscall_exit ? PTRACE_SYSCALL : PTRACE_CONT, tid, nullptr, signal) != 0 && errno != ESRCH) {
    report_errno("resume thread " + std::to_string(tid));
  }
}

// Masks a register to the address size of a string instruction.
std::uint64_t address_part(std::uint64_t value, bool address_32bit)
{
  return address_32bit ? static_cast<std::uint32_t>(value) : value;
}

}  // namespace

Tracer::Tracer(const Options &options, ByteSink &com1, TraceLog &trace, LineInput *com1_input)
    : options_(options), com1_(com1), trace_(trace), com1_input_(com1_input),
      ports_([&com1](std::uint8_t byte) { com1.put(byte); },
             [this]() -> std::optional<std::uint8_t> {
               const auto byte = com1_input_ != nullptr ? com1_input_->next() : std::nullopt;
               if (byte && trace_.enabled()) {
                 received_.push_back(*byte);
               }
               return byte;
             })
{
}

RunSummary Tracer::run()
{
  sigset_t child_signals;
  sigemptyset(&child_signals);
  sigaddset(&child_signals, SIGCHLD);
  sigprocmask(SIG_BLOCK, &child_signals, nullptr);
  UniqueFd child_events(signalfd(-1, &child_signals, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!child_events.valid()) {
    report_errno("signalfd");
    return {status_own_failure, "", 0};
  }

  UniqueFd pty_slave;
  if (options_.pty) {
    Pty pty = open_pty(PtyMode::unprocessed_output);
    pty_master_ = std::move(pty.master);
    pty_slave = std::move(pty.slave);
    if (!pty_master_.valid()) {
      return {status_own_failure, "", 0};
    }
  }
  std::array<int, 2> pipe_ends{};
  if (pipe2(pipe_ends.data(), O_CLOEXEC) != 0) {
    report_errno("pipe2");
    return {status_own_failure, "", 0};
  }
  UniqueFd failure_reader(pipe_ends[0]);
  main_pid_ = launch(options_.command, pty_slave.get(), UniqueFd(pipe_ends[1]));
  if (main_pid_ < 0) {
    report_errno("fork");
    return {status_own_failure, "", 0};
  }
  pty_slave.reset();  // the master sees end of file once the program's side is closed
  threads_[main_pid_] = Thread{};

  while (!main_status_) {
    std::array<pollfd, 2> watched{{{child_events.get(), POLLIN, 0}, {pty_master_.get(), POLLIN, 0}}};
    if (poll(watched.data(), pty_master_.valid() ? 2 : 1, -1) < 0 && errno != EINTR) {
      report_errno("poll");
      return {status_own_failure, "", 0};
    }
    if (watched[1].revents != 0) {
      drain_pty();
    }
    signalfd_siginfo ignored;
    while (read(child_events.get(), &ignored, sizeof ignored) > 0) {
    }
    int status = 0;
    pid_t tid;
    while (!main_status_ && (tid = waitpid(-1, &status, __WALL | WNOHANG)) > 0) {
      handle_stop(tid, status);
    }
  }
  drain_pty();
  com1_.flush();

  RunSummary summary;
  summary.port_instructions = port_instructions_;
  if (!exec_seen_) {
    LaunchFailure failure{};
    if (read(failure_reader.get(), &failure, sizeof failure) == sizeof failure) {
      errno = failure.error;
      report_errno(failure.stage == LaunchFailure::exec ? options_.command[0] : "set up the traced child");
    }
    summary.exit_status = WIFEXITED(*main_status_) ? WEXITSTATUS(*main_status_) : status_own_failure;
    return summary;
  }
  if (WIFEXITED(*main_status_)) {
    summary.exit_status = WEXITSTATUS(*main_status_);
    summary.ending = "exited with status " + std::to_string(summary.exit_status);
  } else {
    summary.exit_status = 128 + WTERMSIG(*main_status_);
    summary.ending = "was killed by " + signal_name(WTERMSIG(*main_status_));
  }
  return summary;
}

void Tracer::finish(int status)
{
  main_status_ = status;
  if (!exec_seen_) {
    return;
  }
  JsonObject event;
  event.text("event", "exit");
  if (WIFEXITED(status)) {
    event.number("status", WEXITSTATUS(status));
  } else {
    event.number("signal", WTERMSIG(status)).text("name", signal_name(WTERMSIG(status)));
  }
  trace_.write(event);
}

void Tracer::handle_stop(pid_t tid, int status)
{
  if (WIFEXITED(status) || WIFSIGNALED(status)) {
    threads_.erase(tid);
    if (tid == main_pid_) {
      finish(status);
    }
    return;
  }
  if (!WIFSTOPPED(status)) {
    return;
  }
  const int signal = WSTOPSIG(status);
  const int event = status >> 16;

  if (tid == main_pid_ && !options_set_) {
    // The child's own SIGSTOP before exec: from here on, follow it closely.
    options_set_ = true;
    const long options = PTRACE_O_EXITKILL | PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACESECCOMP | PTRACE_O_TRACECLONE |
                         PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK | PTRACE_O_TRACEEXEC;
    if (ptrace(PTRACE_SETOPTIONS, tid, nullptr, options) != 0) {
      report_errno("PTRACE_SETOPTIONS");
      kill(tid, SIGKILL);
      return;
    }
    resume(tid);
    return;
  }
  if (signal == SIGTRAP && event != 0) {
    switch (event) {
    case PTRACE_EVENT_SECCOMP: handle_seccomp(tid); return;
    case PTRACE_EVENT_CLONE:
    case PTRACE_EVENT_FORK:
    case PTRACE_EVENT_VFORK: {
      unsigned long child = 0;
      ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &child);
      handle_new_tracee(tid, static_cast<pid_t>(child));
      resume(tid);
      return;
    }
    case PTRACE_EVENT_EXEC:
      exec_seen_ = true;
      resume(tid);
      return;
    default: resume(tid); return;
    }
  }
  if (signal == (SIGTRAP | 0x80)) {
    handle_write_exit(tid);
    return;
  }
  auto thread = threads_.find(tid);
  if (thread == threads_.end()) {
    early_starts_.insert(tid);  // held until its parent's event says whose permissions it inherits
    return;
  }
  if (signal == SIGSTOP && thread->second.awaiting_start_stop) {
    thread->second.awaiting_start_stop = false;
    resume(tid);
    return;
  }
  siginfo_t info{};
  if (ptrace(PTRACE_GETSIGINFO, tid, nullptr, &info) != 0) {
    resume(tid);  // a group-stop: keep the program running, as tracers without PTRACE_LISTEN do
    return;
  }
  if (signal == SIGSEGV && info.si_code == SI_KERNEL) {
    handle_segv(tid, info);
    return;
  }
  resume(tid, signal);
}

void Tracer::handle_new_tracee(pid_t parent, pid_t child)
{
  Thread inherited;
  inherited.permissions = threads_[parent].permissions;  // threads and fork children keep the I/O bitmap
  if (early_starts_.erase(child) != 0) {
    threads_[child] = inherited;
    resume(child);
  } else {
    inherited.awaiting_start_stop = true;
    threads_[child] = inherited;
  }
}

void Tracer::handle_seccomp(pid_t tid)
{
  user_regs_struct regs = registers(tid);
  Thread &thread = threads_[tid];
  const auto number = static_cast<long>(regs.orig_rax);
  if (number == SYS_ioperm || number == SYS_iopl) {
    long result;
    JsonObject event;
    event.text("event", number == SYS_ioperm ? "ioperm" : "iopl").number("tid", tid);
    if (number == SYS_ioperm) {
      event.number("from", static_cast<std::int64_t>(regs.rdi))
          .number("num", static_cast<std::int64_t>(regs.rsi))
          .number("turn_on", static_cast<int>(regs.rdx));
      result = options_.refuse ? -*options_.refuse
                               : thread.permissions.ioperm(regs.rdi, regs.rsi, static_cast<int>(regs.rdx));
    } else {
      event.number("level", static_cast<std::int64_t>(regs.rdi));
      result = options_.refuse ? -*options_.refuse : thread.permissions.iopl(regs.rdi);
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
    return;
  }
  if (!trace_.enabled()) {
    resume(tid);  // a write to fd 1 or 2 matters only to the trace
    return;
  }
  thread.write = PendingWrite{number, static_cast<int>(regs.rdi), regs.rsi, regs.rdx};
  resume(tid, 0, true);
}

void Tracer::handle_write_exit(pid_t tid)
{
  Thread &thread = threads_[tid];
  const std::optional<PendingWrite> pending = std::exchange(thread.write, std::nullopt);
  const auto written = static_cast<long>(registers(tid).rax);
  if (pending && written > 0) {
    std::vector<std::uint8_t> data(static_cast<std::size_t>(written));
    std::size_t gathered = 0;
    if (pending->syscall == SYS_write || pending->syscall == SYS_pwrite64) {
      gathered = read_tracee(tid, pending->buffer, data, Direction::up);
    } else {
      std::vector<iovec> pieces(std::min<std::uint64_t>(pending->count, 1024));
      const std::size_t bytes =
          read_tracee(tid, pending->buffer,
                      {reinterpret_cast<std::uint8_t *>(pieces.data()), pieces.size() * sizeof(iovec)}, Direction::up);
      for (std::size_t i = 0; i < bytes / sizeof(iovec) && gathered < data.size(); ++i) {
        const std::size_t length = std::min(pieces[i].iov_len, data.size() - gathered);
        gathered += read_tracee(tid, reinterpret_cast<std::uint64_t>(pieces[i].iov_base),
                                std::span(data).subspan(gathered, length), Direction::up);
      }
    }
    data.resize(gathered);
    trace_.write(JsonObject().text("event", "write").number("tid", tid).number("fd", pending->fd).bytes("bytes", data));
  }
  resume(tid);
}

void Tracer::handle_segv(pid_t tid, siginfo_t info)
{
  user_regs_struct regs = registers(tid);
  std::array<std::uint8_t, max_instruction_length> code{};
  const std::size_t readable = read_tracee(tid, regs.rip, code, Direction::up);
  const auto instruction = decode_port_instruction(std::span(code).first(readable));
  if (!instruction) {
    resume(tid, SIGSEGV);  // not a port instruction: the program's own fault
    return;
  }
  const std::uint16_t port = instruction->port_in_dx ? static_cast<std::uint16_t>(regs.rdx) : instruction->immediate;
  if (!threads_[tid].permissions.allows(port, instruction->width)) {
    resume(tid, SIGSEGV);  // no permission: exactly what the processor and kernel do
    return;
  }
  drain_pty();  // what the program printed before this instruction comes first
  siginfo_t fault = info;
  const bool completed = emulate(tid, *instruction, port, regs, fault);
  com1_.flush();
  set_registers(tid, regs);
  ++port_instructions_;
  if (completed) {
    resume(tid);
    return;
  }
  if (ptrace(PTRACE_SETSIGINFO, tid, nullptr, &fault) != 0) {
    report_errno("PTRACE_SETSIGINFO");
  }
  resume(tid, SIGSEGV);
}

bool Tracer::emulate(pid_t tid, const PortInstruction &instruction, std::uint16_t port, user_regs_struct &regs,
                     siginfo_t &fault)
{
  JsonObject event;
  event.text("event", "port")
      .number("tid", tid)
      .number("rip", static_cast<std::int64_t>(regs.rip))
      .text("kind", op_name(instruction.op))
      .flag("rep", instruction.rep)
      .number("port", port)
      .number("width", instruction.width);
  bool completed = true;
  if (instruction.op == PortOp::in || instruction.op == PortOp::out) {
    const std::uint64_t mask = instruction.width == 4 ? 0xFFFFFFFFU : (1U << (8 * instruction.width)) - 1;
    std::uint32_t value;
    if (instruction.op == PortOp::out) {
      value = static_cast<std::uint32_t>(regs.rax & mask);
      ports_.write(port, instruction.width, value);
    } else {
      value = ports_.read(port, instruction.width);
      // A 32-bit register write clears the upper half; narrower ones keep the rest.
      regs.rax = instruction.width == 4 ? value : (regs.rax & ~mask) | value;
    }
    std::array<std::uint8_t, 4> bytes{};
    std::memcpy(bytes.data(), &value, bytes.size());
    event.number("count", 1).bytes("bytes", std::span(bytes).first(instruction.width));
  } else {
    completed = emulate_string(tid, instruction, port, regs, fault, event);
  }
  if (completed) {
    regs.rip += instruction.length;
  }
  if (!received_.empty()) {
    trace_.write(JsonObject().text("event", "receive").bytes("bytes", received_));
    received_.clear();
  }
  trace_.write(event);
  return completed;
}

bool Tracer::emulate_string(pid_t tid, const PortInstruction &instruction, std::uint16_t port, user_regs_struct &regs,
                            siginfo_t &fault, JsonObject &event)
{
  const bool out = instruction.op == PortOp::outs;
  const Direction direction = (regs.eflags & direction_flag) != 0 ? Direction::down : Direction::up;
  const unsigned width = instruction.width;
  unsigned long long &index_register = out ? regs.rsi : regs.rdi;
  std::uint64_t remaining = instruction.rep ? address_part(regs.rcx, instruction.address_32bit) : 1;
  std::uint64_t segment_base = 0;
  if (out && instruction.segment == SegmentOverride::fs) {
    segment_base = regs.fs_base;
  } else if (out && instruction.segment == SegmentOverride::gs) {
    segment_base = regs.gs_base;
  }

  std::vector<std::uint8_t> transferred;
  std::uint64_t count = 0;
  bool completed = true;
  while (remaining > 0) {
    const std::uint64_t elements = std::min<std::uint64_t>(remaining, chunk_bytes / width);
    const std::uint64_t index = address_part(index_register, instruction.address_32bit);
    const std::uint64_t first = segment_base + index;
    // The chunk's lowest address: its first element going up, its last going down.
    const std::uint64_t low = direction == Direction::up ? first : first - (elements - 1) * width;
    const std::size_t accessible =
        transfer_chunk(tid, instruction.op, port, width, direction, low, elements, transferred);
    const std::uint64_t done = accessible / width;
    const std::uint64_t step = done * width;
    index_register = address_part(direction == Direction::up ? index + step : index - step, instruction.address_32bit);
    remaining -= done;
    count += done;
    if (instruction.rep) {
      regs.rcx = instruction.address_32bit ? static_cast<std::uint32_t>(remaining) : remaining;
    }
    if (done < elements) {
      // The processor faults on the element it cannot transfer, with the registers
      // showing the progress so far, and restarts the instruction once resumed.
      const std::uint64_t bad = direction == Direction::up ? low + accessible : first - step;
      fault = page_fault(tid, bad);
      event.number("fault", static_cast<std::int64_t>(bad));
      completed = false;
      break;
    }
  }
  event.number("count", static_cast<std::int64_t>(count))
      .text("direction", direction == Direction::up ? "up" : "down")
      .bytes("bytes", transferred);
  return completed;
}

std::size_t Tracer::transfer_chunk(pid_t tid, PortOp op, std::uint16_t port, unsigned width, Direction direction,
                                   std::uint64_t low, std::uint64_t elements, std::vector<std::uint8_t> &transferred)
{
  // Element n of the chunk in the order the processor takes them.
  const auto offset = [&](std::uint64_t n) { return (direction == Direction::up ? n : elements - 1 - n) * width; };
  std::vector<std::uint8_t> chunk(elements * width);
  std::size_t accessible = 0;
  if (op == PortOp::outs) {
    accessible = read_tracee(tid, low, chunk, direction);
    for (std::uint64_t n = 0; n < accessible / width; ++n) {
      std::uint32_t value = 0;
      std::memcpy(&value, &chunk[offset(n)], width);
      ports_.write(port, width, value);
    }
  } else {
    // Reading the device has side effects: take only the elements that memory can hold.
    const std::uint64_t reachable = writable_bytes(tid, low, chunk.size(), direction) / width;
    for (std::uint64_t n = 0; n < reachable; ++n) {
      const std::uint32_t value = ports_.read(port, width);
      std::memcpy(&chunk[offset(n)], &value, width);
    }
    const std::size_t skipped = direction == Direction::up ? 0 : (elements - reachable) * width;
    accessible = write_tracee(tid, low + skipped, std::span(chunk).subspan(skipped, reachable * width), direction);
  }
  for (std::uint64_t n = 0; trace_.enabled() && n < accessible / width; ++n) {
    const auto element = std::span(chunk).subspan(offset(n), width);
    transferred.insert(transferred.end(), element.begin(), element.end());
  }
  return accessible;
}

void Tracer::drain_pty()
{
  if (!pty_master_.valid()) {
    return;
  }
  std::array<char, 65536> buffer;
  ssize_t got;
  while ((got = read(pty_master_.get(), buffer.data(), buffer.size())) > 0) {
    write_all(STDOUT_FILENO, {buffer.data(), static_cast<std::size_t>(got)}, "standard output");
  }
  if (got == 0 || (got < 0 && errno == EIO)) {
    pty_master_.reset();  // the program's side is closed for good
  }
}

}  // namespace vuart

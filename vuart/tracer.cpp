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
#include <fstream>
#include <vector>

#include "executor.h"
#include "launch.h"
#include "pty.h"
#include "tracee_memory.h"

namespace vuart {

namespace {

constexpr long syscall_skipped = -1;
constexpr std::size_t trace_piece = 1U << 20;  // a large write reaches the trace through a buffer this size
constexpr std::uint64_t sig_ign = 1;
constexpr std::uint64_t sa_resethand = 0x80000000;
constexpr std::uint64_t sigsetsize = 8;

std::string signal_name(int signal)
{
  const char *abbreviation = sigabbrev_np(signal);
  return abbreviation != nullptr ? std::string("SIG") + abbreviation : "signal " + std::to_string(signal);
}

// ptrace requests on a thread that may have died meanwhile: its end is reported
// by waitpid, so ESRCH is no error here.
bool traced(long result, std::string_view what, pid_t tid)
{
  if (result != 0 && errno != ESRCH) {
    report_errno(std::string(what) + " of thread " + std::to_string(tid));
  }
  return result == 0;
}

std::optional<user_regs_struct> registers(pid_t tid)
{
  user_regs_struct regs{};
  if (!traced(ptrace(PTRACE_GETREGS, tid, nullptr, &regs), "PTRACE_GETREGS", tid)) {
    return std::nullopt;
  }
  return regs;
}

void set_registers(pid_t tid, const user_regs_struct &regs)
{
  traced(ptrace(PTRACE_SETREGS, tid, nullptr, &regs), "PTRACE_SETREGS", tid);
}

void resume(pid_t tid, int signal = 0, bool to_syscall_exit = false)
{
  traced(ptrace(to_syscall_exit ? PTRACE_SYSCALL : PTRACE_CONT, tid, nullptr, signal), "resume", tid);
}

// Whether the thread has a handler for SIGSEGV now, by its status in /proc.
bool catches_segv(pid_t tid)
{
  std::ifstream status("/proc/" + std::to_string(tid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("SigCgt:")) {
      return ((std::stoull(line.substr(7), nullptr, 16) >> (SIGSEGV - 1)) & 1U) != 0;
    }
  }
  return false;
}

// The processes whose parent is vuart, as /proc lists them.
std::vector<pid_t> own_children()
{
  const std::string self = std::to_string(getpid());
  std::ifstream listed("/proc/" + self + "/task/" + self + "/children");
  std::vector<pid_t> children;
  for (pid_t child; listed >> child;) {
    children.push_back(child);
  }
  return children;
}

bool is_stop_signal(int signal)
{
  return signal == SIGSTOP || signal == SIGTSTP || signal == SIGTTIN || signal == SIGTTOU;
}

}  // namespace

bool WaitStatus::group_stop() const
{
  return stopped() && event() == PTRACE_EVENT_STOP && is_stop_signal(stop_signal());
}

Tracer::Tracer(const Options &options, const CallerSignals &caller_signals, Output &standard_output, ByteSink &com1,
               TraceLog &trace, LineInput *com1_input)
    : options_(options), caller_signals_(caller_signals), standard_output_(standard_output), com1_(com1), trace_(trace),
      com1_input_(com1_input), ports_([&com1](std::uint8_t byte) { com1.put(byte); },
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
  const long ptrace_options = PTRACE_O_EXITKILL | PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACESECCOMP | PTRACE_O_TRACECLONE |
                              PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK | PTRACE_O_TRACEEXEC;
  main_pid_ = launch({options_.command, pty_slave.get(), caller_signals_, ptrace_options, trace_.enabled()},
                     UniqueFd(pipe_ends[1]));
  if (main_pid_ < 0) {
    report_errno("start the program");
    return {status_own_failure, "", 0};
  }
  pty_slave.reset();  // the master sees end of file once the program's side is closed
  // The program starts with SIGSEGV as the caller left it: exec keeps it ignored.
  struct sigaction inherited {};
  sigaction(SIGSEGV, nullptr, &inherited);
  auto segv = std::make_shared<KernelSigaction>();
  segv->handler = inherited.sa_handler == SIG_IGN ? sig_ign : 0;
  threads_[main_pid_] = Thread{main_pid_, {}, std::nullopt, std::nullopt, std::move(segv), std::nullopt};

  forward_signals_to(main_pid_);
  if (pty_master_.valid()) {
    wait_and_drain();
  } else {
    wait();
  }
  end_everything();
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
  if (com1_.error() != 0 || trace_.error() != 0 || standard_output_.error() != 0) {
    summary.exit_status = status_own_failure;  // something the program sent was lost
  }
  return summary;
}

void Tracer::wait()
{
  while (!main_status_) {
    int status = 0;
    const pid_t tid = waitpid(-1, &status, __WALL);
    if (tid < 0 && errno == EINTR) {
      continue;
    }
    if (tid < 0) {
      report_errno("waitpid");
      return;
    }
    handle(tid, WaitStatus{status});
  }
}

void Tracer::wait_and_drain()
{
  // The program's terminal must be drained while it runs, not only at its stops.
  sigset_t child;
  sigemptyset(&child);
  sigaddset(&child, SIGCHLD);
  sigprocmask(SIG_BLOCK, &child, nullptr);
  UniqueFd child_events(signalfd(-1, &child, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!child_events.valid()) {
    report_errno("signalfd");
    return;
  }
  while (!main_status_) {
    std::array<pollfd, 2> watched{{{child_events.get(), POLLIN, 0}, {pty_master_.get(), POLLIN, 0}}};
    if (poll(watched.data(), pty_master_.valid() ? 2 : 1, -1) < 0 && errno != EINTR) {
      report_errno("poll");
      return;
    }
    if (watched[1].revents != 0) {
      drain_pty();
    }
    signalfd_siginfo ignored{};
    while (read(child_events.get(), &ignored, sizeof ignored) == sizeof ignored) {
    }
    int status = 0;
    pid_t tid;
    while (!main_status_ && (tid = waitpid(-1, &status, __WALL | WNOHANG)) > 0) {
      handle(tid, WaitStatus{status});
    }
  }
}

void Tracer::handle(pid_t tid, WaitStatus status)
{
  handle_stop(tid, status);
  for (const auto &[ended, how] : std::exchange(ended_meanwhile_, {})) {
    handle_stop(ended, how);
  }
}

void Tracer::end_everything()
{
  // The program has ended: whatever it left running ends with it, and vuart
  // waits for each, traced or re-parented to it.
  for (const auto &[tid, thread] : threads_) {
    kill(tid, SIGKILL);
  }
  for (const pid_t child : own_children()) {
    kill(child, SIGKILL);
  }
  for (;;) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, __WALL);
    if (pid < 0 && errno == EINTR) {
      continue;
    }
    if (pid < 0) {
      break;  // ECHILD: nothing left
    }
    if (WIFSTOPPED(status)) {
      kill(pid, SIGKILL);  // started meanwhile
    }
  }
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

void Tracer::handle_stop(pid_t tid, WaitStatus status)
{
  if (status.ended()) {
    threads_.erase(tid);
    if (tid == main_pid_) {
      finish(status.raw);
    }
    return;
  }
  if (!status.stopped()) {
    return;
  }
  if (status.group_stop()) {
    // A stop signal took effect: stay stopped, and hear of SIGCONT.
    traced(ptrace(PTRACE_LISTEN, tid, nullptr, nullptr), "PTRACE_LISTEN", tid);
    return;
  }
  if (status.event() == PTRACE_EVENT_STOP) {
    // A new tracee's first stop, or the end of a group-stop.
    if (!threads_.contains(tid)) {
      early_starts_.insert(tid);  // held until its parent's event says what it inherits
      return;
    }
    resume(tid);
    return;
  }
  if (status.stop_signal() == SIGTRAP && status.event() != 0) {
    unsigned long message = 0;
    switch (status.event()) {
    case PTRACE_EVENT_SECCOMP: handle_seccomp(tid); return;
    case PTRACE_EVENT_CLONE:
    case PTRACE_EVENT_FORK:
    case PTRACE_EVENT_VFORK: {
      ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &message);
      unsigned long flags = 0;
      if (status.event() == PTRACE_EVENT_CLONE) {
        const auto regs = registers(tid);
        flags = regs ? regs->rdi : 0;  // clone's flags: clone3 never gets this far
      }
      handle_new_tracee(tid, static_cast<pid_t>(message), flags);
      resume(tid);
      return;
    }
    case PTRACE_EVENT_EXEC: handle_exec(tid); return;
    default: resume(tid); return;
    }
  }
  if (status.syscall_stop()) {
    handle_syscall_exit(tid);
    return;
  }
  // A signal on its way to the program.
  const int signal = status.stop_signal();
  auto thread = threads_.find(tid);
  if (thread == threads_.end()) {
    resume(tid, signal);
    return;
  }
  if (signal == SIGSEGV) {
    siginfo_t info{};
    if (!traced(ptrace(PTRACE_GETSIGINFO, tid, nullptr, &info), "PTRACE_GETSIGINFO", tid)) {
      return;
    }
    if (info.si_code == SI_KERNEL) {
      handle_segv(tid, info);
      return;
    }
    KernelSigaction &segv = *thread->second.segv;
    if (segv.handler > sig_ign && (segv.flags & sa_resethand) != 0) {
      segv = KernelSigaction{};  // delivered once, then back to the default
    }
  }
  resume(tid, signal);
}

void Tracer::handle_new_tracee(pid_t parent, pid_t child, unsigned long clone_flags)
{
  const Thread &creator = threads_[parent];
  Thread inherited;
  inherited.process = (clone_flags & CLONE_THREAD) != 0 ? creator.process : child;
  inherited.permissions = creator.permissions;  // threads and fork children keep the I/O bitmap
  inherited.segv = (clone_flags & CLONE_SIGHAND) != 0 ? creator.segv : std::make_shared<KernelSigaction>(*creator.segv);
  threads_[child] = std::move(inherited);
  if (early_starts_.erase(child) != 0) {
    resume(child);
  }
}

void Tracer::handle_exec(pid_t tid)
{
  exec_seen_ = true;
  unsigned long former = 0;
  ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &former);
  if (static_cast<pid_t>(former) != tid && threads_.contains(static_cast<pid_t>(former))) {
    // Another thread called execve: it takes over the thread group's id, and its
    // permissions go with it.
    threads_[tid] = std::move(threads_[static_cast<pid_t>(former)]);
    threads_.erase(static_cast<pid_t>(former));
  }
  Thread &thread = threads_[tid];
  syscall_addresses_.erase(thread.process);
  if (thread.segv && thread.segv->handler > sig_ign) {
    thread.segv = std::make_shared<KernelSigaction>();  // exec resets handlers, keeps ignored signals
  }
  resume(tid);
}

void Tracer::handle_seccomp(pid_t tid)
{
  unsigned long marker = 0;
  ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &marker);
  auto regs = registers(tid);
  if (!regs) {
    return;
  }
  Thread &thread = threads_[tid];
  const auto number = static_cast<long>(regs->orig_rax);
  const bool ours = marker == seccomp_marker;
  if (ours && (number == SYS_ioperm || number == SYS_iopl)) {
    long result;
    JsonObject event;
    event.text("event", number == SYS_ioperm ? "ioperm" : "iopl").number("tid", tid);
    if (number == SYS_ioperm) {
      event.number("from", static_cast<std::int64_t>(regs->rdi))
          .number("num", static_cast<std::int64_t>(regs->rsi))
          .number("turn_on", static_cast<int>(regs->rdx));
      result = options_.refuse ? -*options_.refuse
                               : thread.permissions.ioperm(regs->rdi, regs->rsi, static_cast<int>(regs->rdx));
    } else {
      const auto level = static_cast<unsigned>(regs->rdi);  // iopl takes an unsigned int
      event.number("level", level);
      result = options_.refuse ? -*options_.refuse : thread.permissions.iopl(level);
    }
    event.number("result", result < 0 ? -1 : result);
    if (result < 0) {
      event.text("errno", strerrorname_np(static_cast<int>(-result)));
    }
    trace_.write(event);
    regs->orig_rax = static_cast<unsigned long long>(syscall_skipped);
    regs->rax = static_cast<unsigned long long>(result);
    set_registers(tid, *regs);
    resume(tid);
    return;
  }
  const bool write_call = number == SYS_write || number == SYS_writev || number == SYS_pwrite64 ||
                          number == SYS_pwritev || number == SYS_pwritev2;
  const auto fd = static_cast<int>(regs->rdi);
  if (ours && write_call && (fd == STDOUT_FILENO || fd == STDERR_FILENO)) {
    thread.write = PendingWrite{number, fd, regs->rsi, regs->rdx};
    resume(tid, 0, true);
    return;
  }
  if (ours && number == SYS_rt_sigaction && static_cast<int>(regs->rdi) == SIGSEGV) {
    // Follow SIGSEGV's disposition, to restore it after a port fault changes it.
    KernelSigaction action;
    if (regs->rsi != 0 && regs->r10 == sigsetsize &&
        read_tracee(tid, regs->rsi, {reinterpret_cast<std::uint8_t *>(&action), sizeof action}, Direction::up) ==
            sizeof action) {
      thread.segv_change = action;
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

void Tracer::handle_syscall_exit(pid_t tid)
{
  Thread &thread = threads_[tid];
  const std::optional<PendingWrite> pending = std::exchange(thread.write, std::nullopt);
  const std::optional<KernelSigaction> segv_change = std::exchange(thread.segv_change, std::nullopt);
  const auto regs = registers(tid);
  if (!regs) {
    return;
  }
  const auto result = static_cast<long>(regs->rax);
  if (segv_change && result == 0) {
    *thread.segv = *segv_change;
  }
  if (pending && result > 0) {
    // What the call wrote, read back a piece at a time into the trace.
    TraceLine event(trace_, JsonObject().text("event", "write").number("tid", tid).number("fd", pending->fd), "bytes");
    std::vector<std::uint8_t> piece(std::min<std::size_t>(static_cast<std::size_t>(result), trace_piece));
    const auto copy = [&](std::uint64_t address, std::size_t length) {
      for (std::size_t done = 0; done < length;) {
        const std::size_t size = std::min(piece.size(), length - done);
        const std::size_t got = read_tracee(tid, address + done, std::span(piece).first(size), Direction::up);
        event.bytes(std::span(piece).first(got));
        if (got < size) {
          return done + got;
        }
        done += size;
      }
      return length;
    };
    auto left = static_cast<std::size_t>(result);
    if (pending->syscall == SYS_write || pending->syscall == SYS_pwrite64) {
      copy(pending->buffer, left);
    } else {
      std::vector<iovec> pieces(std::min<std::uint64_t>(pending->count, 1024));
      const std::size_t bytes =
          read_tracee(tid, pending->buffer,
                      {reinterpret_cast<std::uint8_t *>(pieces.data()), pieces.size() * sizeof(iovec)}, Direction::up);
      for (std::size_t i = 0; i < bytes / sizeof(iovec) && left > 0; ++i) {
        const std::size_t length = std::min(pieces[i].iov_len, left);
        if (copy(reinterpret_cast<std::uint64_t>(pieces[i].iov_base), length) < length) {
          break;
        }
        left -= length;
      }
    }
    event.finish(JsonObject());
    check_outputs(tid);
  }
  resume(tid);
}

void Tracer::handle_segv(pid_t tid, siginfo_t info)
{
  auto regs = registers(tid);
  if (!regs) {
    return;
  }
  std::array<std::uint8_t, max_instruction_length> code{};
  const std::size_t readable = read_tracee(tid, regs->rip, code, Direction::up);
  const auto instruction = decode_port_instruction(std::span(code).first(readable));
  if (!instruction) {
    resume(tid, SIGSEGV);  // not a port instruction: the program's own fault
    return;
  }
  Thread &thread = threads_[tid];
  if (!thread.permissions.allows(port_of(*instruction, *regs), instruction->width)) {
    resume(tid, SIGSEGV);  // no permission: exactly what the processor and kernel do
    return;
  }
  drain_pty();  // what the program printed before this instruction comes first
  TraceLine event(trace_, port_event(tid, *regs, *instruction), "bytes");
  TraceeMemory memory(tid);
  const Execution execution =
      execute(*instruction, *regs, thread.permissions, memory, ports_,
              trace_.enabled() ? ByteObserver([&event](std::span<const std::uint8_t> bytes) { event.bytes(bytes); })
                               : ByteObserver());
  com1_.flush();
  set_registers(tid, *regs);
  ++port_instructions_;
  JsonObject outcome;
  outcome.number("count", static_cast<std::int64_t>(execution.record.count));
  if (execution.record.fault) {
    outcome.number("fault", static_cast<std::int64_t>(*execution.record.fault));
  }
  event.finish(outcome);
  if (!received_.empty()) {
    trace_.write(JsonObject().text("event", "receive").bytes("bytes", received_));
    received_.clear();
  }
  check_outputs(tid);
  if (execution.result == Execution::Result::completed) {
    // On hardware nothing faulted: undo what the kernel did to SIGSEGV when it raised the fault.
    restore_segv_state(tid, *regs);
    resume_thread(tid);
    return;
  }
  // The fault vuart delivers is one the hardware would raise too, with the same effect on SIGSEGV.
  siginfo_t fault = execution.fault;
  fault.si_signo = info.si_signo;
  traced(ptrace(PTRACE_SETSIGINFO, tid, nullptr, &fault), "PTRACE_SETSIGINFO", tid);
  resume(tid, SIGSEGV);
}

JsonObject Tracer::port_event(pid_t tid, const user_regs_struct &regs, const PortInstruction &instruction)
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
    event.text("direction", (regs.eflags & direction_flag) != 0 ? "down" : "up");
  }
  return event;
}

void Tracer::resume_thread(pid_t tid)
{
  auto thread = threads_.find(tid);
  if (thread == threads_.end() || !thread->second.held_signal) {
    resume(tid);
    return;
  }
  const siginfo_t held = *std::exchange(thread->second.held_signal, std::nullopt);
  traced(ptrace(PTRACE_SETSIGINFO, tid, nullptr, &held), "PTRACE_SETSIGINFO", tid);
  resume(tid, held.si_signo);
}

void Tracer::restore_segv_state(pid_t tid, const user_regs_struct &regs)
{
  // Raising the fault, the kernel reset an ignored SIGSEGV to the default, and a
  // blocked one too, unblocking it. A default SIGSEGV ends the same either way.
  const KernelSigaction action = *threads_[tid].segv;
  if (action.handler == 0) {
    return;
  }
  const bool handled = action.handler > sig_ign;
  if (handled && catches_segv(tid)) {
    return;  // a handler, not blocked: nothing changed
  }
  if (!call_rt_sigaction(tid, regs, action)) {
    return;
  }
  if (handled) {
    std::uint64_t mask = 0;  // the handler was reset, so SIGSEGV was blocked
    if (traced(ptrace(PTRACE_GETSIGMASK, tid, sizeof mask, &mask), "PTRACE_GETSIGMASK", tid)) {
      mask |= 1ULL << (SIGSEGV - 1);
      traced(ptrace(PTRACE_SETSIGMASK, tid, sizeof mask, &mask), "PTRACE_SETSIGMASK", tid);
    }
  }
}

std::optional<std::uint64_t> Tracer::syscall_instruction(pid_t tid)
{
  const pid_t process = threads_[tid].process;
  if (const auto known = syscall_addresses_.find(process); known != syscall_addresses_.end()) {
    return known->second;
  }
  // Any "syscall" instruction will do: the vDSO, mapped into every process, has some.
  const auto vdso = vdso_range(tid);
  if (!vdso) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> text(vdso->second - vdso->first);
  text.resize(read_tracee(tid, vdso->first, text, Direction::up));
  static constexpr std::array<std::uint8_t, 2> syscall_opcode = {0x0F, 0x05};
  const auto found = std::search(text.begin(), text.end(), syscall_opcode.begin(), syscall_opcode.end());
  if (found == text.end()) {
    return std::nullopt;
  }
  return syscall_addresses_[process] = vdso->first + static_cast<std::uint64_t>(found - text.begin());
}

bool Tracer::call_rt_sigaction(pid_t tid, const user_regs_struct &regs, const KernelSigaction &action)
{
  const std::optional<std::uint64_t> syscall_at = syscall_instruction(tid);
  if (!syscall_at) {
    return false;
  }
  // The new action goes below the stack's red zone, where the program keeps nothing.
  const std::uint64_t scratch = (regs.rsp - 128 - sizeof action) & ~std::uint64_t{15};
  if (write_tracee(tid, scratch, {reinterpret_cast<const std::uint8_t *>(&action), sizeof action}, Direction::up) !=
      sizeof action) {
    return false;
  }
  user_regs_struct call = regs;
  call.rip = *syscall_at;
  call.rax = SYS_rt_sigaction;
  call.rdi = SIGSEGV;
  call.rsi = scratch;
  call.rdx = 0;
  call.r10 = sigsetsize;
  set_registers(tid, call);
  bool done = false;
  while (!done) {
    if (!traced(ptrace(PTRACE_SINGLESTEP, tid, nullptr, 0), "PTRACE_SINGLESTEP", tid)) {
      return false;
    }
    int raw = 0;
    if (waitpid(tid, &raw, __WALL) != tid) {
      return false;
    }
    const WaitStatus status{raw};
    if (status.ended()) {
      ended_meanwhile_.emplace_back(tid, status);  // for the main loop, which handles ends
      return false;
    }
    if (status.stop_signal() == SIGTRAP && status.event() == 0) {
      done = true;  // stepped over the call
    } else if (status.event() == 0 && !status.syscall_stop()) {
      siginfo_t arrived{};  // a signal came meanwhile: it is delivered once the program goes on
      if (ptrace(PTRACE_GETSIGINFO, tid, nullptr, &arrived) == 0) {
        threads_[tid].held_signal = arrived;
      }
    }
  }
  set_registers(tid, regs);
  return true;
}

void Tracer::check_outputs(pid_t tid)
{
  if (ended_for_output_) {
    return;
  }
  const bool com1_to_file = !options_.com1_path.empty();
  const int standard_output = standard_output_.error();
  if ((com1_to_file && com1_.error() != 0) || trace_.error() != 0 ||
      (standard_output != 0 && standard_output != EPIPE)) {
    ended_for_output_ = true;
    for (const auto &[thread, state] : threads_) {
      kill(thread, SIGKILL);  // nowhere to put what the program sends: the run ends
    }
    return;
  }
  if (standard_output == EPIPE && !sigpipe_sent_) {
    // The reader of standard output went away: the program learns it as from a write of its own.
    sigpipe_sent_ = true;
    const auto thread = threads_.find(tid);
    syscall(SYS_tgkill, thread != threads_.end() ? thread->second.process : main_pid_, tid, SIGPIPE);
  }
}

void Tracer::drain_pty()
{
  if (!pty_master_.valid()) {
    return;
  }
  std::array<char, 65536> buffer;
  ssize_t got;
  while ((got = read(pty_master_.get(), buffer.data(), buffer.size())) > 0) {
    standard_output_.write({buffer.data(), static_cast<std::size_t>(got)});
  }
  if (got == 0 || (got < 0 && errno == EIO)) {
    pty_master_.reset();  // the program's side is closed for good
  }
  if (standard_output_.error() != 0) {
    check_outputs(main_pid_);
  }
}

}  // namespace vuart

#include "tracer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <limits>

#include "executor.h"
#include "launch.h"
#include "tracee_memory.h"

namespace vuart {

namespace {

constexpr int recheck_ms = 100;           // how often threads that wait for room are checked for signals
constexpr std::size_t pty_chunk = 65536;  // the program's terminal is read this much at a time
constexpr auto reader_patience = std::chrono::seconds(2);  // COM1's terminal may read nothing this long at the end

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

// Whether a signal that the thread does not block waits for it.
bool signal_pending(pid_t tid)
{
  std::ifstream status("/proc/" + std::to_string(tid) + "/status");
  std::uint64_t pending = 0;
  std::uint64_t blocked = 0;
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("SigPnd:") || line.starts_with("ShdPnd:")) {
      pending |= std::stoull(line.substr(7), nullptr, 16);
    } else if (line.starts_with("SigBlk:")) {
      blocked = std::stoull(line.substr(7), nullptr, 16);
    }
  }
  return (pending & ~blocked) != 0;
}

JsonObject port_event(pid_t tid, const user_regs_struct &regs, const PortInstruction &instruction)
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

}  // namespace

Tracer::Tracer(const Options &options, const CallerSignals &caller_signals, Outputs outputs, LineInput *com1_input)
    : options_(options), caller_signals_(caller_signals), outputs_(outputs), com1_input_(com1_input),
      ports_([this](std::uint8_t byte) { outputs_.com1.put(byte); },
             [this]() -> std::optional<std::uint8_t> {
               const auto byte = com1_input_ != nullptr ? com1_input_->next() : std::nullopt;
               if (byte && outputs_.trace.enabled()) {
                 received_.push_back(*byte);
               }
               return byte;
             }),
      syscalls_(options, outputs.trace)
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
  if (!signals_.valid() || pipe2(pipe_ends.data(), O_CLOEXEC) != 0) {
    report_errno("pipe2");
    return {status_own_failure, "", 0};
  }
  UniqueFd failure_reader(pipe_ends[0]);
  const long ptrace_options = PTRACE_O_EXITKILL | PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACESECCOMP | PTRACE_O_TRACECLONE |
                              PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK | PTRACE_O_TRACEEXEC;
  main_pid_ = launch({options_.command, pty_slave.get(), caller_signals_, ptrace_options, outputs_.trace.enabled()},
                     UniqueFd(pipe_ends[1]));
  if (main_pid_ < 0) {
    report_errno("start the program");
    return {status_own_failure, "", 0};
  }
  pty_slave.reset();  // the master sees end of file once the program's side is closed
  Thread main_thread;
  main_thread.process = main_pid_;
  main_thread.segv = SegvState::inherited();
  threads_[main_pid_] = std::move(main_thread);

  loop();
  end_everything();
  deliver_what_is_left();

  RunSummary summary;
  summary.port_instructions = port_instructions_;
  if (!exec_seen_) {
    LaunchFailure failure{};
    if (read(failure_reader.get(), &failure, sizeof failure) == sizeof failure) {
      errno = failure.error;
      report_errno(failure.stage == LaunchFailure::exec ? shell_quoted(options_.command[0])
                                                        : "set up the traced child");
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
  const std::vector<Output *> all = outputs();
  if (std::any_of(all.begin(), all.end(), [](const Output *output) { return output->error() != 0; })) {
    summary.exit_status = status_own_failure;  // something the program sent was lost
  }
  return summary;
}

void Tracer::loop()
{
  while (!main_status_) {
    collect_stops();
    if (main_status_) {
      break;
    }
    flush_outputs();
    serve_waiting();
    pump_pty();
    std::vector<pollfd> watched = watch_list();
    if (poll(watched.data(), watched.size(), waiting_.empty() ? -1 : recheck_ms) < 0 && errno != EINTR) {
      report_errno("poll");
      return;
    }
    while (const auto signal = signals_.next()) {
      handle_vuart_signal(*signal);
    }
    release_signalled();
  }
}

void Tracer::collect_stops()
{
  int status = 0;
  pid_t tid;
  while (!main_status_ && (tid = waitpid(-1, &status, __WALL | WNOHANG)) > 0) {
    handle(tid, WaitStatus{status});
  }
}

void Tracer::handle(pid_t tid, WaitStatus status)
{
  handle_stop(tid, status);
  for (const auto &[ended, how] : segv_state_.take_ended()) {
    handle_stop(ended, how);
  }
}

void Tracer::handle_vuart_signal(const signalfd_siginfo &signal)
{
  const auto number = static_cast<int>(signal.ssi_signo);
  if (number == SIGCHLD) {
    return;  // the stops are collected at the top of the loop
  }
  if (!exec_seen_) {
    end_everything();  // the program does not run yet: the signal ends vuart, as it would without vuart's handling
    die_of(number);
  }
  // A process group's signal has reached the program already, pending or delivered.
  stop_asked_ = stop_asked_ || (number != SIGUSR1 && number != SIGUSR2);
  if (ProgramSignals::pending(main_pid_, number)) {
    return;
  }
  collect_stops();
  if (!main_status_ && !program_signals_.delivered(signal)) {
    kill(main_pid_, number);
  }
}

void Tracer::handle_stop(pid_t tid, WaitStatus status)
{
  if (status.ended()) {
    threads_.erase(tid);
    std::erase(waiting_, tid);
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
    handle_event(tid, status);
    return;
  }
  const auto thread = threads_.find(tid);
  if (status.syscall_stop()) {
    if (thread == threads_.end()) {
      resume(tid);
    } else if (!syscalls_.at_exit(tid, thread->second, !waiting_.empty())) {
      wait_in_line(tid, Waiting::write_record);
    }
    return;
  }
  handle_signal_stop(tid, status.stop_signal());
}

void Tracer::handle_event(pid_t tid, WaitStatus status)
{
  switch (status.event()) {
  case PTRACE_EVENT_SECCOMP: syscalls_.at_entry(tid, threads_[tid]); return;
  case PTRACE_EVENT_CLONE:
  case PTRACE_EVENT_FORK:
  case PTRACE_EVENT_VFORK: {
    const std::optional<unsigned long> child = event_message(tid);
    unsigned long flags = 0;
    if (status.event() == PTRACE_EVENT_CLONE) {
      const auto regs = registers(tid);
      flags = regs ? regs->rdi : 0;  // clone's flags: clone3 never gets this far
    }
    if (child) {
      handle_new_tracee(tid, static_cast<pid_t>(*child), flags);
    }
    resume(tid);
    return;
  }
  case PTRACE_EVENT_EXEC: handle_exec(tid); return;
  default: resume(tid); return;
  }
}

void Tracer::handle_signal_stop(pid_t tid, int signal)
{
  // A signal on its way to the program.
  const auto thread = threads_.find(tid);
  siginfo_t info{};
  if (thread == threads_.end() || !traced(ptrace(PTRACE_GETSIGINFO, tid, nullptr, &info), "PTRACE_GETSIGINFO", tid)) {
    resume(tid, signal);
    return;
  }
  program_signals_.note(info);
  if (signal == SIGSEGV) {
    if (info.si_code == SI_KERNEL) {
      wait_in_line(tid, Waiting::port_instruction);  // maybe a port instruction
      return;
    }
    SegvState::delivered(thread->second);
  }
  resume(tid, signal);
}

void Tracer::handle_new_tracee(pid_t parent, pid_t child, unsigned long clone_flags)
{
  const Thread &creator = threads_[parent];
  Thread inherited;
  inherited.process = (clone_flags & CLONE_THREAD) != 0 ? creator.process : child;
  inherited.permissions = creator.permissions;  // threads and fork children keep the I/O bitmap
  inherited.segv = SegvState::for_new(creator, clone_flags);
  threads_[child] = std::move(inherited);
  if (early_starts_.erase(child) != 0) {
    resume(child);
  }
}

void Tracer::handle_exec(pid_t tid)
{
  exec_seen_ = true;
  const auto former = static_cast<pid_t>(event_message(tid).value_or(static_cast<unsigned long>(tid)));
  if (former != tid && threads_.contains(former)) {
    // Another thread called execve: it takes over the thread group's id, and its
    // permissions go with it.
    threads_[tid] = std::move(threads_[former]);
    threads_.erase(former);
    std::erase(waiting_, former);
  }
  segv_state_.exec(threads_[tid]);
  resume(tid);
}

void Tracer::wait_in_line(pid_t tid, Waiting why)
{
  threads_[tid].waiting = why;
  waiting_.push_back(tid);
  serve_waiting();
}

void Tracer::serve_waiting()
{
  while (!waiting_.empty()) {
    const pid_t tid = waiting_.front();
    const auto thread = threads_.find(tid);
    if (thread != threads_.end() && thread->second.waiting != Waiting::nothing && !proceed(tid)) {
      return;  // still no room: those behind it wait too, in order
    }
    waiting_.pop_front();
  }
}

bool Tracer::proceed(pid_t tid)
{
  Thread &thread = threads_.at(tid);
  switch (thread.waiting) {
  case Waiting::port_instruction: {
    const Step step = port_instruction(tid);
    if (step == Step::waits_for_room) {
      return false;
    }
    if (step == Step::done) {
      break;
    }
    thread.waiting = Waiting::resume_after_flush;
    [[fallthrough]];
  }
  case Waiting::resume_after_flush:
    if (outputs_.com1.output().waiting() > 0) {
      return false;
    }
    resume_holding(tid, thread.held_signal);
    break;
  case Waiting::write_record:
    if (!syscalls_.record_write(tid, thread)) {
      return false;
    }
    check_outputs(tid);
    resume(tid);
    break;
  case Waiting::nothing: break;
  }
  thread.waiting = Waiting::nothing;
  return true;
}

void Tracer::release_signalled()
{
  // A thread that waits for room must not keep a signal from acting: it goes on
  // and takes the signal, and comes back to its instruction afterwards, as the
  // processor does when an interrupt comes in the middle of a rep.
  for (auto waiter = waiting_.begin(); waiter != waiting_.end();) {
    const auto thread = threads_.find(*waiter);
    if (thread == threads_.end() || thread->second.waiting == Waiting::write_record || !signal_pending(*waiter)) {
      ++waiter;
      continue;
    }
    if (thread->second.waiting == Waiting::port_instruction) {
      if (const auto regs = registers(*waiter)) {
        segv_state_.restore(*waiter, thread->second, *regs);
      }
    }
    thread->second.waiting = Waiting::nothing;
    resume_holding(*waiter, thread->second.held_signal);
    waiter = waiting_.erase(waiter);
  }
  for (const auto &[ended, how] : segv_state_.take_ended()) {
    handle_stop(ended, how);
  }
}

std::uint64_t Tracer::element_limit(bool sends, unsigned width) const
{
  std::uint64_t limit = std::numeric_limits<std::uint64_t>::max();
  if (sends) {
    limit = std::min<std::uint64_t>(limit, outputs_.com1.output().room());  // an element sends one byte at most
  }
  const std::size_t trace_room = outputs_.trace.room_for_bytes();
  if (trace_room != Output::unlimited) {
    limit = std::min<std::uint64_t>(limit, trace_room / width);
  }
  return limit;
}

Tracer::Step Tracer::port_instruction(pid_t tid)
{
  Thread &thread = threads_.at(tid);
  auto regs = registers(tid);
  if (!regs) {
    return Step::done;  // it died: waitpid tells
  }
  std::array<std::uint8_t, max_instruction_length> code{};
  const std::size_t readable = read_tracee(tid, regs->rip, code, Direction::up);
  const auto instruction = decode_port_instruction(std::span(code).first(readable));
  if (!instruction || !thread.permissions.allows(port_of(*instruction, *regs), instruction->width)) {
    resume(tid, SIGSEGV);  // not a port instruction it may use: exactly what the processor and kernel do
    return Step::done;
  }
  const bool sends = instruction->op == PortOp::out || instruction->op == PortOp::outs;
  pump_pty();  // what the program printed before this instruction comes first
  const auto allowance = [&] {
    flush_outputs();  // a long transfer goes on as its outputs drain
    return element_limit(sends, instruction->width);
  };
  if (!pty_drained_ || allowance() == 0) {
    return Step::waits_for_room;
  }
  TraceLine event(outputs_.trace, port_event(tid, *regs, *instruction), "bytes");
  TraceeMemory memory(tid);
  const Execution execution = execute(
      *instruction, *regs, thread.permissions, memory, ports_,
      outputs_.trace.enabled() ? ByteObserver([&event](std::span<const std::uint8_t> bytes) { event.bytes(bytes); })
                               : ByteObserver(),
      allowance);
  outputs_.com1.flush();
  set_registers(tid, *regs);
  JsonObject outcome;
  outcome.number("count", static_cast<std::int64_t>(execution.record.count));
  if (execution.record.fault) {
    outcome.number("fault", static_cast<std::int64_t>(*execution.record.fault));
  }
  event.finish(outcome);
  if (!received_.empty()) {
    outputs_.trace.write(JsonObject().text("event", "receive").bytes("bytes", received_));
    received_.clear();
  }
  check_outputs(tid);
  if (!std::exchange(thread.instruction_begun, execution.result == Execution::Result::interrupted)) {
    ++port_instructions_;
  }
  if (execution.result == Execution::Result::interrupted) {
    return Step::waits_for_room;
  }
  if (execution.result == Execution::Result::completed) {
    // On hardware nothing faulted: undo what the kernel did to SIGSEGV when it raised the fault.
    segv_state_.restore(tid, thread, *regs);
    if (outputs_.com1_shares_program_output && outputs_.com1.output().waiting() > 0) {
      return Step::waits_for_flush;  // what the program writes next must come after these bytes
    }
    resume_holding(tid, thread.held_signal);
    return Step::done;
  }
  // The fault vuart delivers is one the hardware would raise too, with the same effect on SIGSEGV.
  siginfo_t fault = execution.fault;
  fault.si_signo = SIGSEGV;
  traced(ptrace(PTRACE_SETSIGINFO, tid, nullptr, &fault), "PTRACE_SETSIGINFO", tid);
  resume(tid, SIGSEGV);
  return Step::done;
}

void Tracer::pump_pty()
{
  pty_drained_ = true;
  if (!pty_master_.valid()) {
    return;
  }
  std::array<char, pty_chunk> buffer;
  for (;;) {
    if (outputs_.standard_output.room() < buffer.size()) {
      pty_drained_ = false;  // read on once standard output has room
      break;
    }
    const ssize_t got = read(pty_master_.get(), buffer.data(), buffer.size());
    if (got > 0) {
      outputs_.standard_output.write({buffer.data(), static_cast<std::size_t>(got)});
    } else if (got == 0 || (got < 0 && errno == EIO)) {
      pty_master_.reset();  // the program's side is closed for good
      break;
    } else if (errno != EINTR) {
      break;  // nothing more now
    }
  }
  check_outputs(main_pid_);
}

std::vector<pollfd> Tracer::watch_list() const
{
  std::vector<pollfd> watched{{signals_.fd(), POLLIN, 0}};
  if (pty_master_.valid() && outputs_.standard_output.room() >= pty_chunk) {
    watched.push_back({pty_master_.get(), POLLIN, 0});
  }
  for (const Output *output : outputs()) {
    if (output->waiting() > 0) {
      watched.push_back({output->fd(), POLLOUT, 0});
    }
  }
  return watched;
}

std::vector<Output *> Tracer::outputs() const
{
  std::vector<Output *> all{&outputs_.standard_output};
  if (&outputs_.com1.output() != &outputs_.standard_output) {
    all.push_back(&outputs_.com1.output());
  }
  if (outputs_.trace.enabled()) {
    all.push_back(&outputs_.trace.output());
  }
  std::erase_if(all, [](const Output *output) { return !output->enabled(); });
  return all;
}

void Tracer::flush_outputs()
{
  outputs_.com1.flush();
  for (Output *output : outputs()) {
    output->flush();
  }
  check_outputs(main_pid_);
}

void Tracer::check_outputs(pid_t tid)
{
  if (ended_for_output_) {
    return;
  }
  const int standard_output = outputs_.standard_output.error();
  const bool com1_apart = &outputs_.com1.output() != &outputs_.standard_output;
  if ((com1_apart && outputs_.com1.error() != 0) || outputs_.trace.error() != 0 ||
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
  threads_.clear();
  waiting_.clear();
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
  outputs_.trace.write(event);
}

void Tracer::deliver_what_is_left()
{
  // What the program sent goes out before vuart ends: it waits as long as standard
  // output, the trace or COM1's file take, and for COM1's terminal while its
  // client goes on reading. A signal ends the wait, and vuart.
  const Pty *com1_pty = outputs_.com1_pty;
  Output &com1 = outputs_.com1.output();
  std::uint64_t fewest_left = std::numeric_limits<std::uint64_t>::max();
  auto last_progress = std::chrono::steady_clock::now();
  for (;;) {
    pump_pty();
    flush_outputs();
    std::uint64_t left = pty_master_.valid() ? 1 : 0;
    for (const Output *output : outputs()) {
      left += output->waiting();
    }
    int unread = 0;  // by COM1's terminal client
    if (com1_pty != nullptr && ioctl(com1_pty->slave.get(), FIONREAD, &unread) != 0) {
      unread = 0;
    }
    const bool only_com1_pty = com1_pty != nullptr && left == com1.waiting();
    left += static_cast<std::uint64_t>(unread);
    if (left == 0) {
      return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (left < fewest_left) {
      fewest_left = left;
      last_progress = now;
    }
    if (only_com1_pty && (stop_asked_ || now - last_progress >= reader_patience)) {
      report("the last " + std::to_string(left) + " bytes sent to COM1 were not read from " + com1_pty->path);
      return;
    }
    std::vector<pollfd> watched = watch_list();
    if (poll(watched.data(), watched.size(), only_com1_pty ? recheck_ms : -1) < 0 && errno != EINTR) {
      report_errno("poll");
      return;
    }
    while (const auto signal = signals_.next()) {
      if (signal->ssi_signo != SIGCHLD) {
        report(std::to_string(left) + " bytes the program sent were not delivered when " +
               signal_name(static_cast<int>(signal->ssi_signo)) + " came");
        die_of(static_cast<int>(signal->ssi_signo));
      }
    }
  }
}

}  // namespace vuart

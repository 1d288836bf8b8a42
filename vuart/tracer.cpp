#include "tracer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "containment.h"
#include "launch.h"

namespace vuart {

namespace {

constexpr int recheck_ms = 100;  // how often threads that wait for room are checked for signals

// Whether a signal that the thread does not block waits for it.
bool signal_pending(pid_t tid)
{
  const SignalSets sets = signal_sets(tid);
  return (sets.pending & ~sets.blocked) != 0;
}

}  // namespace

Tracer::Tracer(const Options &options, const CallerSignals &caller_signals, Outputs outputs, LineInput *com1_input)
    : options_(options), caller_signals_(caller_signals), output_(outputs),
      port_io_(output_, com1_input, segv_state_, remote_), syscalls_(options, outputs.trace)
{
}

RunSummary Tracer::run()
{
  UniqueFd pty_slave;
  if (options_.pty) {
    Pty pty = open_pty(PtyMode::unprocessed_output);
    if (!pty.master.valid()) {
      return {status_own_failure, "", 0};
    }
    output_.attach_terminal(std::move(pty.master));
    pty_slave = std::move(pty.slave);
  }
  std::array<int, 2> pipe_ends{};
  if (!signals_.valid() || pipe2(pipe_ends.data(), O_CLOEXEC) != 0) {
    report_errno("pipe2");
    return {status_own_failure, "", 0};
  }
  UniqueFd failure_reader(pipe_ends[0]);
  const long ptrace_options = PTRACE_O_EXITKILL | PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACESECCOMP | PTRACE_O_TRACECLONE |
                              PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK | PTRACE_O_TRACEEXEC;
  syscalls_.set_standard_streams(identity_of(pty_slave.valid() ? pty_slave.get() : STDOUT_FILENO),
                                 identity_of(STDERR_FILENO));
  main_pid_ = launch({options_.command, pty_slave.get(), caller_signals_, ptrace_options, trace_.enabled(),
                      geteuid() == 0 && !options_.uncontained},
                     UniqueFd(pipe_ends[1]));
  if (main_pid_ < 0) {
    return {status_own_failure, "", 0};
  }
  pty_slave.reset();  // the master sees end of file once the program's side is closed
  Thread main_thread;
  main_thread.process = main_pid_;
  main_thread.segv = SegvState::inherited();
  threads_[main_pid_] = std::move(main_thread);

  loop();
  end_everything();
  output_.deliver_rest(signals_, stop_asked_);

  RunSummary summary;
  summary.port_instructions = port_io_.instructions();
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
  if (output_.failed() || refused_) {
    summary.exit_status = status_own_failure;  // something the program sent was lost, or it could not go on
  }
  return summary;
}

void Tracer::loop()
{
  collect_stops();
  while (!main_status_) {
    for (const Arrival &signal : SignalReader::take()) {
      handle_vuart_signal(signal);
    }
    if (main_status_) {
      break;
    }
    flush_outputs();
    serve_waiting();
    output_.pump_terminal();
    check_outputs(main_pid_);
    std::vector<pollfd> watched{{signals_.fd(), POLLIN, 0}};
    output_.watch(watched);
    if (watched.size() == 1 && waiting_.empty()) {
      wait_for_stop();  // only the program to wait for: the cheapest wait there is
      continue;
    }
    if (poll(watched.data(), watched.size(), waiting_.empty() ? -1 : recheck_ms) < 0 && errno != EINTR) {
      report_errno("poll");
      return;
    }
    signals_.drain();
    collect_stops();
    release_signalled();
  }
}

void Tracer::wait_for_stop()
{
  // A signal to vuart wakes it here too: its handler starts a child that ends at once.
  int status = 0;
  const pid_t tid = waitpid(-1, &status, __WALL);
  if (tid > 0) {
    handle(tid, WaitStatus{status});
  } else if (errno != EINTR) {
    report_errno("waitpid");
    main_status_ = W_EXITCODE(status_own_failure, 0);
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
  for (const auto &[ended, how] : remote_.take_ended()) {
    handle_stop(ended, how);
  }
}

void Tracer::handle_vuart_signal(const Arrival &signal)
{
  const int number = signal.signal;
  if (!exec_seen_) {
    end_everything();  // the program does not run yet: the signal ends vuart, as it would without vuart's handling
    die_of(number);
  }
  stop_asked_ = stop_asked_ || (number != SIGUSR1 && number != SIGUSR2);
  // A process group's signal has reached the program already, pending or delivered.
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
    if (const auto ended = threads_.find(tid); ended != threads_.end() && ended->second.process == tid) {
      port_io_.forget(tid);
    }
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
    if (info.si_code == SI_KERNEL && !syscalls_.take_queued_segv(tid, thread->second.process)) {
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
  if (inherited.process == child) {
    port_io_.inherit(creator.process, child);
  }
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
  SegvState::exec(threads_[tid]);
  remote_.forget(threads_[tid].process);
  port_io_.forget(threads_[tid].process);
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
    const PortIo::Step step = port_io_.carry_out(tid, thread);
    check_outputs(tid);
    if (step == PortIo::Step::waits_for_room) {
      return false;
    }
    if (step == PortIo::Step::refused) {
      refused_ = true;
      for (const auto &[other, state] : threads_) {
        kill(other, SIGKILL);
      }
      break;
    }
    if (step == PortIo::Step::done) {
      break;
    }
    thread.waiting = Waiting::resume_after_flush;
    [[fallthrough]];
  }
  case Waiting::resume_after_flush:
    if (output_.com1_ahead_of_program()) {
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
  for (const auto &[ended, how] : remote_.take_ended()) {
    handle_stop(ended, how);
  }
}

void Tracer::flush_outputs()
{
  output_.flush();
  check_outputs(main_pid_);
}

void Tracer::check_outputs(pid_t tid)
{
  switch (output_.trouble()) {
  case ProgramOutput::Trouble::none: return;
  case ProgramOutput::Trouble::lost:
    for (const auto &[thread, state] : threads_) {
      kill(thread, SIGKILL);  // nowhere to put what the program sends: the run ends
    }
    return;
  case ProgramOutput::Trouble::reader_gone: {
    const auto thread = threads_.find(tid);
    syscall(SYS_tgkill, thread != threads_.end() ? thread->second.process : main_pid_, tid, SIGPIPE);
    return;
  }
  }
}

void Tracer::end_everything()
{
  std::vector<pid_t> traced;
  for (const auto &[tid, thread] : threads_) {
    traced.push_back(tid);
  }
  end_all(traced);
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
  trace_.write(event);
}

}  // namespace vuart

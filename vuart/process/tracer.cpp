#include "process/tracer.h"

#include "trace/event_schema.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>
#include <vector>

#include "files/messages.h"
#include "launch/containment.h"
#include "launch/launch.h"
#include "launch/sandbox.h"

namespace vuart {

namespace {

constexpr int recheck_ms = 100;  // how often threads that wait for room are checked for signals

}  // namespace

Tracer::Tracer(const Options &options, const CallerSignals &caller_signals, Outputs outputs,
               std::array<LineInput *, PcPorts::com_ports> inputs)
    : options_(options), caller_signals_(caller_signals), output_(outputs),
      port_io_(output_, inputs, options.trace_ports, segv_state_, remote_), syscalls_(options, outputs.trace, remote_)
{
}

RunSummary Tracer::run()
{
  UniqueFd pty_slave;
  if (options_.pty) {
    Pty pty = open_pty(PtyMode::unprocessed_output);
    if (!pty.master.valid()) {
      return {.exit_status = status_own_failure};
    }
    output_.attach_terminal(std::move(pty.master));
    output_.copy_window_size();
    pty_slave = std::move(pty.slave);
  }
  std::array<int, 2> pipe_ends{};
  if (!signals_.valid() || pipe2(pipe_ends.data(), O_CLOEXEC) != 0) {
    report_errno("pipe2");
    return {.exit_status = status_own_failure};
  }
  UniqueFd failure_reader(pipe_ends[0]);
  const long ptrace_options = PTRACE_O_EXITKILL | PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACESECCOMP | PTRACE_O_TRACECLONE |
                              PTRACE_O_TRACEFORK | PTRACE_O_TRACEVFORK | PTRACE_O_TRACEEXEC;
  syscalls_.set_standard_streams(identity_of(pty_slave.valid() ? pty_slave.get() : STDOUT_FILENO),
                                 identity_of(STDERR_FILENO));
  std::optional<MountPlan> mounts;
  if (geteuid() == 0 && !options_.uncontained) {
    auto planned = plan_mounts(options_.writable);
    if (const auto *why = std::get_if<std::string>(&planned)) {
      report("contain the program in namespaces of its own: " + *why);
      return {.exit_status = status_own_failure};
    }
    mounts = std::get<MountPlan>(std::move(planned));
  }
  main_pid_ = launch({options_.command, pty_slave.get(), caller_signals_, ptrace_options, trace_.enabled(),
                      mounts ? &*mounts : nullptr},
                     UniqueFd(pipe_ends[1]));
  if (main_pid_ < 0) {
    return {.exit_status = status_own_failure};
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
  const PcPorts &ports = port_io_.ports();
  for (unsigned index = 0; index < PcPorts::com_ports; ++index) {
    summary.com_sent[index] = ports.sent(index);
    summary.com_received[index] = ports.received(index);
    summary.com_unread[index] = ports.com(index).unread();
  }
  summary.last_post_code = ports.last_post_code();
  summary.debug_console_written = ports.debug_console_written();
  if (hidden_) {
    summary.exit_status = status_cannot_execute;
    return summary;
  }
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
    if (window_size_changed() && options_.pty) {
      // The program's terminal is not its controlling one: the kernel tells it
      // of vuart's terminal, maybe before the copy, so vuart tells it again.
      output_.copy_window_size();
      kill(main_pid_, SIGWINCH);
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
    collect_stops();  // the others that stopped meanwhile, before this one's next stop
  } else if (errno != EINTR) {
    report_errno("waitpid");
    main_status_ = W_EXITCODE(status_own_failure, 0);
  }
}

void Tracer::collect_stops()
{
  // Every stop that waits now first, then each served, in rounds: waitpid
  // reports the tracees in one order, and a thread that stops again at once
  // (one that loops on port I/O) would otherwise starve the others' stops.
  std::vector<std::pair<pid_t, WaitStatus>> round;
  int status = 0;
  for (pid_t tid; (tid = waitpid(-1, &status, __WALL | WNOHANG)) > 0;) {
    round.emplace_back(tid, WaitStatus{status});
  }
  for (const auto &[tid, stop] : round) {
    if (main_status_) {
      return;  // the rest end with everything
    }
    handle(tid, stop);
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
  trace_.write(trace_events::exit(status));
}

}  // namespace vuart

#include "signals.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "output.h"
#include "ptrace_calls.h"

namespace vuart {

namespace {

sigset_t handled_set()
{
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGCHLD);
  for (const int signal : forwarded_signals) {
    sigaddset(&set, signal);
  }
  return set;
}

// A program's signal and vuart's count as one when they come within this time of each other.
constexpr auto same_signal_window = std::chrono::seconds(1);

}  // namespace

CallerSignals take_over_signals()
{
  CallerSignals caller{};
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_DFL;
  sigaction(SIGCHLD, &action, &caller.child);
  action.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &action, &caller.pipe);
  const sigset_t handled = handled_set();
  sigprocmask(SIG_BLOCK, &handled, &caller.mask);
  return caller;
}

void restore_signals(const CallerSignals &caller)
{
  sigaction(SIGCHLD, &caller.child, nullptr);
  sigaction(SIGPIPE, &caller.pipe, nullptr);
  sigprocmask(SIG_SETMASK, &caller.mask, nullptr);
}

void die_of(int signal)
{
  ::signal(signal, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  raise(signal);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  _exit(128 + signal);  // the caller ignores it
}

SignalReader::SignalReader()
{
  const sigset_t handled = handled_set();
  fd_ = UniqueFd(signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!fd_.valid()) {
    report_errno("signalfd");
  }
}

std::optional<signalfd_siginfo> SignalReader::next()
{
  signalfd_siginfo info{};
  ssize_t got;
  do {
    got = read(fd_.get(), &info, sizeof info);
  } while (got < 0 && errno == EINTR);
  if (got != sizeof info) {
    return std::nullopt;
  }
  return info;
}

void ProgramSignals::note(const siginfo_t &delivered)
{
  const auto now = std::chrono::steady_clock::now();
  std::erase_if(recent_, [&](const Delivery &old) { return now - old.when > same_signal_window; });
  recent_.push_back({delivered.si_signo, delivered.si_code, delivered.si_pid, now});
}

bool ProgramSignals::pending(pid_t program, int signal)
{
  return (signal_sets(program).shared_pending & signal_bit(signal)) != 0;
}

bool ProgramSignals::delivered(const signalfd_siginfo &to_vuart)
{
  const auto now = std::chrono::steady_clock::now();
  const auto same = std::find_if(recent_.begin(), recent_.end(), [&](const Delivery &delivery) {
    return delivery.signal == static_cast<int>(to_vuart.ssi_signo) && delivery.code == to_vuart.ssi_code &&
           delivery.sender == static_cast<pid_t>(to_vuart.ssi_pid) && now - delivery.when <= same_signal_window;
  });
  if (same == recent_.end()) {
    return false;
  }
  recent_.erase(same);
  return true;
}

}  // namespace vuart

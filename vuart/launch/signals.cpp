#include "launch/signals.h"

#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <string>

#include "files/messages.h"

namespace vuart {

namespace {

// A program's signal and vuart's count as one when they come within this time of each other.
constexpr auto same_signal_window = std::chrono::seconds(1);

// Signals noted by the handler: it writes, the loop reads with them blocked.
constexpr std::size_t noted_capacity = 64;
std::array<Arrival, noted_capacity> noted;
volatile sig_atomic_t noted_count = 0;
sig_atomic_t taken_count = 0;

sigset_t signal_set(bool with_forwarded, bool with_child)
{
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : forwarded_signals) {
    if (with_forwarded) {
      sigaddset(&set, signal);
    }
  }
  if (with_child) {
    sigaddset(&set, SIGCHLD);
  }
  return set;
}

volatile sig_atomic_t window_changed = 0;

// Starts a child that ends at once (a bare clone, which no lock or fork handler
// can hold up): its end wakes vuart's loop wherever it waits. Async-signal-safe.
void wake_loop()
{
  if (syscall(SYS_clone, SIGCHLD, nullptr, nullptr, nullptr, 0) == 0) {
    syscall(SYS_exit, 0);
  }
}

void note_signal(int signal, siginfo_t *info, void * /*context*/)
{
  const int saved_errno = errno;
  const sig_atomic_t count = noted_count;
  noted[static_cast<std::size_t>(count) % noted_capacity] = {signal, info->si_code, info->si_pid};
  noted_count = count + 1;
  wake_loop();
  errno = saved_errno;
}

void note_window_change(int /*signal*/)
{
  const int saved_errno = errno;
  window_changed = 1;
  wake_loop();
  errno = saved_errno;
}

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
  action.sa_sigaction = note_signal;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  action.sa_mask = signal_set(true, false);  // one handler at a time
  for (std::size_t i = 0; i < forwarded_signals.size(); ++i) {
    sigaction(forwarded_signals[i], &action, &caller.forwarded[i]);
  }
  struct sigaction window {};
  sigemptyset(&window.sa_mask);
  window.sa_handler = note_window_change;
  window.sa_flags = SA_RESTART;
  sigaction(SIGWINCH, &window, &caller.window);
  const sigset_t child = signal_set(false, true);
  sigprocmask(SIG_BLOCK, &child, &caller.mask);
  return caller;
}

bool window_size_changed()
{
  if (window_changed == 0) {
    return false;
  }
  window_changed = 0;
  return true;
}

void restore_signals(const CallerSignals &caller)
{
  sigaction(SIGCHLD, &caller.child, nullptr);
  sigaction(SIGPIPE, &caller.pipe, nullptr);
  for (std::size_t i = 0; i < forwarded_signals.size(); ++i) {
    sigaction(forwarded_signals[i], &caller.forwarded[i], nullptr);
  }
  sigaction(SIGWINCH, &caller.window, nullptr);
  sigprocmask(SIG_SETMASK, &caller.mask, nullptr);
}

void die_of(int signal)
{
  ::signal(signal, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(signal);
  _exit(128 + signal);  // the caller ignores it
}

SignalReader::SignalReader()
{
  const sigset_t child = signal_set(false, true);
  fd_ = UniqueFd(signalfd(-1, &child, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!fd_.valid()) {
    report_errno("signalfd");
  }
}

void SignalReader::drain() const
{
  std::array<signalfd_siginfo, 8> infos{};
  while (read(fd_.get(), infos.data(), sizeof infos) == sizeof infos) {
  }
}

bool SignalReader::any_noted()
{
  return noted_count != taken_count;
}

std::vector<Arrival> SignalReader::take()
{
  if (noted_count == taken_count) {
    return {};
  }
  const sigset_t forwarded = signal_set(true, false);
  sigset_t before;
  sigprocmask(SIG_BLOCK, &forwarded, &before);
  std::vector<Arrival> arrivals;
  const sig_atomic_t count = noted_count;
  if (count - taken_count > static_cast<sig_atomic_t>(noted_capacity)) {
    taken_count = count - static_cast<sig_atomic_t>(noted_capacity);  // a flood: the latest are kept
  }
  for (; taken_count < count; ++taken_count) {
    arrivals.push_back(noted[static_cast<std::size_t>(taken_count) % noted_capacity]);
  }
  sigprocmask(SIG_SETMASK, &before, nullptr);
  return arrivals;
}

void ProgramSignals::note(const siginfo_t &delivered)
{
  if (std::find(forwarded_signals.begin(), forwarded_signals.end(), delivered.si_signo) == forwarded_signals.end()) {
    return;  // vuart gets none of these to pass on
  }
  const auto now = std::chrono::steady_clock::now();
  std::erase_if(recent_, [&](const Delivery &old) { return now - old.when > same_signal_window; });
  recent_.push_back({delivered.si_signo, delivered.si_code, delivered.si_pid, now});
}

bool ProgramSignals::pending(pid_t program, int signal)
{
  return (signal_sets(program).shared_pending & signal_bit(signal)) != 0;
}

bool ProgramSignals::delivered(const Arrival &to_vuart)
{
  const auto now = std::chrono::steady_clock::now();
  const auto same = std::find_if(recent_.begin(), recent_.end(), [&](const Delivery &delivery) {
    return delivery.signal == to_vuart.signal && delivery.code == to_vuart.code && delivery.sender == to_vuart.sender &&
           now - delivery.when <= same_signal_window;
  });
  if (same == recent_.end()) {
    return false;
  }
  recent_.erase(same);
  return true;
}

SignalSets signal_sets(pid_t tid)
{
  SignalSets sets;
  std::ifstream status("/proc/" + std::to_string(tid) + "/status");
  for (std::string line; std::getline(status, line);) {
    const auto value = [&] { return std::stoull(line.substr(line.find(':') + 1), nullptr, 16); };
    if (line.starts_with("SigPnd:")) {
      sets.pending |= value();
    } else if (line.starts_with("ShdPnd:")) {
      sets.shared_pending = value();
      sets.pending |= sets.shared_pending;
    } else if (line.starts_with("SigBlk:")) {
      sets.blocked = value();
    } else if (line.starts_with("SigCgt:")) {
      sets.caught = value();
    }
  }
  return sets;
}

}  // namespace vuart

#pragma once
// vuart's own signals: the caller's signal state kept for the program, the
// signals vuart passes on, and how they reach vuart's loop without ever
// interrupting it.

#include <sys/types.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <optional>
#include <vector>

#include "files/unique_fd.h"

namespace vuart {

// Signals vuart passes on to the program, besides SIGCHLD, which tells it of the program's stops.
constexpr std::array<int, 6> forwarded_signals = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2};

// The caller's signal mask and the dispositions vuart changes for itself.
struct CallerSignals {
  sigset_t mask;
  struct sigaction child;  // SIGCHLD
  struct sigaction pipe;   // SIGPIPE
  std::array<struct sigaction, forwarded_signals.size()> forwarded;
  struct sigaction window;  // SIGWINCH
};

// A signal that reached vuart, and who sent it.
struct Arrival {
  int signal;
  int code;
  pid_t sender;
};

// Saves the caller's signal state, then sets vuart's own: SIGPIPE ignored (a
// closed output is an error vuart reports), SIGCHLD blocked, for
// SignalReader's descriptor, and a handler for forwarded_signals that notes
// each and starts a child that ends at once: its end wakes vuart wherever it
// waits for the program, in waitpid or in poll, so that no signal waits for
// the program's next stop. Call it before the program starts.
CallerSignals take_over_signals();

// Whether vuart's terminal changed its size (SIGWINCH) since the last call;
// take_over_signals() has SIGWINCH noted, and wake the loop, as the forwarded ones.
bool window_size_changed();

// In the child before exec: the caller's mask and dispositions again. Async-signal-safe.
void restore_signals(const CallerSignals &caller);

// Ends vuart as the signal would have without vuart's handling of it.
[[noreturn]] void die_of(int signal);

// What wakes vuart's loop: SIGCHLD, through a descriptor for poll, and the
// signals the handler noted.
class SignalReader {
 public:
  SignalReader();  // reports and is not valid() on failure
  [[nodiscard]] bool valid() const { return fd_.valid(); }
  [[nodiscard]] int fd() const { return fd_.get(); }
  // Reads what SIGCHLD left on the descriptor, so that poll waits again.
  void drain() const;
  // The signals noted since the last call, oldest first.
  static std::vector<Arrival> take();
  // Whether a signal was noted that take() has not returned yet.
  static bool any_noted();

 private:
  UniqueFd fd_;
};

// Whether the program already has a signal that reached vuart: a process group's
// signal (from a terminal, `kill -TERM -PGID`, a shell's `kill %1`) reaches both.
// The kernel queues a group's signal to its newest member first, so by the time
// vuart reads its own, the program's is pending or has stopped a traced thread,
// whose delivery note() records.
class ProgramSignals {
 public:
  void note(const siginfo_t &delivered);
  // Looks at what is pending for the program first; the caller then collects
  // the program's stops and asks delivered().
  [[nodiscard]] static bool pending(pid_t program, int signal);
  bool delivered(const Arrival &to_vuart);

 private:
  struct Delivery {
    int signal;
    int code;
    pid_t sender;
    std::chrono::steady_clock::time_point when;
  };
  std::vector<Delivery> recent_;
};

// Signal sets of a thread, as /proc/TID/status shows them.
struct SignalSets {
  std::uint64_t pending = 0;  // to the thread, and to its process (SigPnd, ShdPnd)
  std::uint64_t shared_pending = 0;
  std::uint64_t blocked = 0;
  std::uint64_t caught = 0;  // with a handler (SigCgt)
};
SignalSets signal_sets(pid_t tid);
constexpr std::uint64_t signal_bit(int signal)
{
  return 1ULL << (signal - 1);
}

}  // namespace vuart

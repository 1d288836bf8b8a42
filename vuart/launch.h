#pragma once
// Starting the traced program: a child that can never reach real ports.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "signals.h"
#include "unique_fd.h"

namespace vuart {

// The filter's data value on vuart's own seccomp stops; a stop with any other
// value comes from a filter the program installed itself.
constexpr std::uint16_t seccomp_marker = 0x7A17;
// Numbers in the i386 ABI (int 0x80): the port requests, and the calls that set SIGSEGV's action.
constexpr long i386_ioperm = 101, i386_iopl = 110;
constexpr long i386_signal = 48, i386_sigaction = 67, i386_rt_sigaction = 174;
constexpr long x32_call = 0x40000000;  // __X32_SYSCALL_BIT, set in the numbers of x32 calls

// Why a child ended before running the program, sent over the launch pipe.
struct LaunchFailure {
  enum Stage : int { ready, setup, contain, exec } stage;  // ready: no failure, the child may be seized
  int error;
};

struct LaunchRequest {
  const std::vector<std::string> &command;
  int stdout_fd;  // when not negative, the child's standard output
  const CallerSignals &caller_signals;
  long ptrace_options;
  bool trap_writes;  // stop writes to fds 1 and 2, for the trace
  bool contain;      // in mount and PID namespaces of its own, under an init of vuart's
};

// Forks a child (contained: an init in new namespaces, which forks it), seizes
// it with the given ptrace options while it waits, and lets it go on: it
// restores the caller's signal state, sets no_new_privs, installs the seccomp
// filter and execs the command. The child writes a LaunchFailure to
// `failure_pipe` if it cannot get that far once seized. Returns the child,
// or -1 when it could not be started, which it reports.
pid_t launch(const LaunchRequest &request, UniqueFd failure_pipe);

}  // namespace vuart

#pragma once
// Starting the traced program: a child that can never reach real ports.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "files/unique_fd.h"
#include "launch/sandbox.h"
#include "launch/signals.h"

namespace vuart {

// Why a child ended before running the program, sent over the launch pipe.
struct LaunchFailure {
  enum Stage : int {
    ready,
    setup,
    contain,
    working_directory,
    exec
  } stage;  // ready: no failure, the child may be seized
  int error;
};

struct LaunchRequest {
  const std::vector<std::string> &command;
  int stdout_fd;  // when not negative, the child's standard output
  const CallerSignals &caller_signals;
  long ptrace_options;
  bool trap_writes;          // stop writes to fds 1 and 2, for the trace
  const MountPlan *contain;  // when set, in mount and PID namespaces of its own, under an init of vuart's
};

// Forks a child (contained: an init in new namespaces, which forks it), seizes
// it with the given ptrace options while it waits, and lets it go on: it
// restores the caller's signal state, sets no_new_privs, installs the seccomp
// filter and execs the command. The child writes a LaunchFailure to
// `failure_pipe` if it cannot get that far once seized. Returns the child,
// or -1 when it could not be started, which it reports.
pid_t launch(const LaunchRequest &request, UniqueFd failure_pipe);

}  // namespace vuart

#pragma once
// Starting the traced program: a child that can never reach real ports.

#include <sys/types.h>

#include <string>
#include <vector>

#include "unique_fd.h"

namespace vuart {

// Why a child ended before running the program, sent over the launch pipe.
struct LaunchFailure {
  enum Stage : int { setup, exec } stage;
  int error;
};

// Forks a child that drops CAP_SYS_RAWIO, sets no_new_privs, asks to be traced,
// stops itself, installs the port and write filter and execs the command.
// `stdout_fd`, when not negative, becomes the child's standard output.
// The child writes a LaunchFailure to `failure_pipe` if it cannot get that far.
pid_t launch(const std::vector<std::string> &command, int stdout_fd, UniqueFd failure_pipe);

}  // namespace vuart

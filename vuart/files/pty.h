#pragma once
// Pseudo-terminals: the program's standard output under --pty, and COM1 under --com1 pty.

#include <string>

#include "files/unique_fd.h"

namespace vuart {

struct Pty {
  UniqueFd master;  // non-blocking
  UniqueFd slave;
  std::string path;
};

enum class PtyMode {
  unprocessed_output,  // a terminal as usual, but output bytes pass unchanged
  raw,                 // a serial line: every byte passes unchanged both ways, nothing echoed
};

// A new pseudo-terminal; on failure reports why and returns one with no master.
Pty open_pty(PtyMode mode);

}  // namespace vuart

#pragma once
// vuart's command line.

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vuart {

struct Options {
  std::vector<std::string> command;  // the program and its arguments
  std::optional<int> refuse;         // errno every ioperm/iopl request fails with
  std::string com1_path;             // empty: COM1 goes to standard output; "pty": a pseudo-terminal
  std::string com1_input_path;       // empty: nothing arrives on COM1's line
  std::string trace_path;            // empty: no trace
  bool pty = false;
  bool quiet = false;
  bool uncontained = false;           // as root, run the program without namespaces of its own
  std::vector<std::string> writable;  // as root, contained: places writable besides the usual ones
};

struct ShowHelp {};
struct ShowVersion {};
struct UsageError {
  std::string message;
};

using ParsedCommandLine = std::variant<Options, ShowHelp, ShowVersion, UsageError>;

ParsedCommandLine parse_command_line(const std::vector<std::string> &arguments);

extern const char *const usage_text;

}  // namespace vuart

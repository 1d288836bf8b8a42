#pragma once
// vuart's command line.

#include <array>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "trace/port_filter.h"

namespace vuart {

struct Options {
  std::vector<std::string> command;  // the program and its arguments
  std::optional<int> refuse;         // errno every ioperm/iopl request fails with
  // COM1-COM4, in that order. Empty: COM1 goes to standard output, the others nowhere; "pty": a pseudo-terminal.
  std::array<std::string, 4> com_path;
  std::array<std::string, 4> com_input_path;  // empty: nothing arrives on the port's line
  std::string debug_console_path;             // empty: the debug console's text goes nowhere
  std::string trace_path;                     // empty: no trace
  PortFilter trace_ports;                     // the ports whose events the trace records
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

#include "launch/options.h"

#include <cerrno>
#include <string_view>

namespace vuart {

const char *const usage_text =
    "Usage: vuart [OPTION...] -- PROGRAM [ARG...]\n"
    "Runs PROGRAM under ptrace against a virtual 16550 UART at I/O ports 0x3F8-0x3FF (COM1).\n"
    "ioperm and iopl are emulated per thread; port instructions (in, out, ins, outs, with or\n"
    "without rep) that the emulated permissions allow are carried out on the virtual ports.\n"
    "The program never gets real port access: CAP_SYS_RAWIO is dropped and no_new_privs set;\n"
    "run as root, it gets mount and PID namespaces of its own, with only harmless devices.\n"
    "\n"
    "  --com1 FILE      write COM1's transmitted bytes to FILE instead of standard output\n"
    "  --com1 pty       connect COM1 to a new pseudo-terminal, whose path is printed on\n"
    "                   standard error: what the program sends comes out there, and\n"
    "                   what is typed there arrives on COM1's line, unchanged\n"
    "  --com1-input FILE  the bytes of FILE arrive on COM1's line, in order, as the\n"
    "                   UART has room for them\n"
    "  --trace FILE     record a JSON-lines trace: port requests and answers, port\n"
    "                   instructions, writes to fd 1 and 2, and the exit\n"
    "  --refuse=ERRNO   fail every ioperm and iopl request with EPERM or ENOSYS\n"
    "  --pty            give the program a pseudo-terminal as standard output (output\n"
    "                   processing off, so its bytes pass through unchanged)\n"
    "  -q, --quiet      no summary line at the end\n"
    "  --uncontained    run as root, let the program share vuart's mount and PID\n"
    "                   namespaces (where it cannot have its own)\n"
    "  --writable PATH  run as root, the program may write PATH too (the system trees\n"
    "                   are read-only to it); may be given more than once\n"
    "  --help           show this help and exit\n"
    "  --version        show the version and exit\n"
    "\n"
    "Exit status: the program's, or 128+N when signal N ended it; 125 when vuart itself\n"
    "fails or cannot write one of its outputs, 126 when PROGRAM cannot be executed, 127\n"
    "when it is not found. Signals sent to vuart (HUP, INT, QUIT, TERM, USR1, USR2) go on\n"
    "to PROGRAM. See vuart(1) for the guarantees against hostile programs.\n";

namespace {

// The value of "--name=VALUE" or of "--name VALUE"; nullopt when missing.
std::optional<std::string> option_value(std::string_view argument, std::string_view name,
                                        const std::vector<std::string> &arguments, std::size_t &at)
{
  if (argument.size() > name.size() && argument[name.size()] == '=') {
    return std::string(argument.substr(name.size() + 1));
  }
  if (at + 1 < arguments.size() && arguments[at + 1] != "--") {  // "--" ends the options: no value
    return arguments[++at];
  }
  return std::nullopt;
}

bool names(std::string_view argument, std::string_view name)
{
  return argument == name || (argument.starts_with(name) && argument[name.size()] == '=');
}

}  // namespace

ParsedCommandLine parse_command_line(const std::vector<std::string> &arguments)
{
  Options options;
  std::size_t at = 0;
  for (; at < arguments.size(); ++at) {
    const std::string_view argument = arguments[at];
    if (argument == "--") {
      ++at;
      break;
    }
    if (!argument.starts_with("-") || argument == "-") {
      break;
    }
    if (argument == "--help" || argument == "-h") {
      return ShowHelp{};
    }
    if (argument == "--version") {
      return ShowVersion{};
    }
    if (argument == "--pty") {
      options.pty = true;
    } else if (argument == "--quiet" || argument == "-q") {
      options.quiet = true;
    } else if (argument == "--uncontained") {
      options.uncontained = true;
    } else if (names(argument, "--com1") || names(argument, "--com1-input") || names(argument, "--trace") ||
               names(argument, "--refuse") || names(argument, "--writable")) {
      const std::string_view name = argument.substr(0, argument.find('='));
      const auto value = option_value(argument, name, arguments, at);
      if (!value || value->empty()) {
        return UsageError{"option '" + std::string(name) + "' needs a value"};
      }
      if (name == "--com1") {
        options.com1_path = *value;
      } else if (name == "--com1-input") {
        options.com1_input_path = *value;
      } else if (name == "--trace") {
        options.trace_path = *value;
      } else if (name == "--writable") {
        options.writable.push_back(*value);
      } else if (*value == "EPERM") {
        options.refuse = EPERM;
      } else if (*value == "ENOSYS") {
        options.refuse = ENOSYS;
      } else {
        return UsageError{"--refuse takes EPERM or ENOSYS, not '" + *value + "'"};
      }
    } else {
      return UsageError{"unknown option '" + std::string(argument) + "'"};
    }
  }
  if (at >= arguments.size()) {
    return UsageError{"no program given"};
  }
  if (options.com1_path == "pty" && !options.com1_input_path.empty()) {
    return UsageError{"--com1 pty already takes COM1's input from the terminal; drop --com1-input"};
  }
  options.command.assign(arguments.begin() + static_cast<std::ptrdiff_t>(at), arguments.end());
  return options;
}

}  // namespace vuart

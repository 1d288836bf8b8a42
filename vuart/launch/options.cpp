#include "launch/options.h"

#include "files/socket_peer.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <string_view>

namespace vuart {

const char *const usage_text =
    "Usage: vuart [OPTION...] -- PROGRAM [ARG...]\n"
    "Runs PROGRAM under ptrace against a PC's virtual I/O ports: 16550 UARTs at COM1-COM4,\n"
    "the debug console at 0xE9, POST codes at 0x80 and the RTC at 0x70-0x71.\n"
    "ioperm and iopl are emulated per thread; port instructions (in, out, ins, outs, with or\n"
    "without rep) that the emulated permissions allow are carried out on the virtual ports.\n"
    "The program never gets real port access: CAP_SYS_RAWIO is dropped and no_new_privs set;\n"
    "run as root, it gets mount and PID namespaces of its own, with only harmless devices.\n"
    "\n"
    "  --com1 FILE      write COM1's transmitted bytes to FILE instead of standard output\n"
    "  --com1 pty       connect COM1 to a new pseudo-terminal, whose path is printed on\n"
    "                   standard error: what the program sends comes out there, and\n"
    "                   what is typed there arrives on COM1's line, unchanged\n"
    "  --com1 tcp:[HOST]:PORT, --com1 unix:PATH\n"
    "                   listen there (HOST 127.0.0.1 unless given) and wait for one client\n"
    "                   before the program starts: it is COM1's peer, both ways\n"
    "  --com1-input FILE  the bytes of FILE arrive on COM1's line, in order, as the\n"
    "                   UART has room for them\n"
    "  --com2, --com3, --com4 FILE|pty|tcp:...|unix:..., --com2-input FILE ...\n"
    "                   the same for COM2 (0x2F8), COM3 (0x3E8) and COM4 (0x2E8), whose\n"
    "                   bytes go nowhere unless given a file\n"
    "  --debugcon FILE  write what the program prints to the debug console (port 0xE9)\n"
    "                   to FILE\n"
    "  --trace FILE     record a JSON-lines trace: port requests and answers, port\n"
    "                   instructions, device events, writes to fd 1 and 2, and the exit\n"
    "  --trace-ports LIST  record port events only for the ports in LIST, such as\n"
    "                   0x3F8-0x3FF,0x80\n"
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

// An option that takes a value, and for --comN and --comN-input the port's index.
struct ValueOption {
  std::optional<unsigned> com_port;
  bool input = false;
};

std::optional<ValueOption> value_option(std::string_view argument)
{
  for (unsigned port = 0; port < 4; ++port) {
    const std::string com = "--com" + std::to_string(port + 1);
    if (names(argument, com) || names(argument, com + "-input")) {
      return ValueOption{port, names(argument, com + "-input")};
    }
  }
  for (const std::string_view name : {"--debugcon", "--trace", "--trace-ports", "--refuse", "--writable"}) {
    if (names(argument, name)) {
      return ValueOption{};
    }
  }
  return std::nullopt;
}

std::string upper(std::string word)
{
  std::ranges::transform(word, word.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return word;
}

// Sets what an option with a value names; the mistake, if the value is not one it takes.
std::optional<UsageError> take_value(Options &options, std::string_view name, const ValueOption &option,
                                     const std::string &value)
{
  if (option.com_port) {
    (option.input ? options.com_input_path : options.com_path).at(*option.com_port) = value;
  } else if (name == "--debugcon") {
    options.debug_console_path = value;
  } else if (name == "--trace-ports") {
    const std::optional<PortFilter> ports = PortFilter::parse(value);
    if (!ports) {
      return UsageError{"--trace-ports takes ports and ranges such as 0x3F8-0x3FF,0x80, not '" + value + "'"};
    }
    options.trace_ports = *ports;
  } else if (name == "--trace") {
    options.trace_path = value;
  } else if (name == "--writable") {
    options.writable.push_back(value);
  } else if (value == "EPERM") {
    options.refuse = EPERM;
  } else if (value == "ENOSYS") {
    options.refuse = ENOSYS;
  } else {
    return UsageError{"--refuse takes EPERM or ENOSYS, not '" + value + "'"};
  }
  return std::nullopt;
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
    } else if (const std::optional<ValueOption> option = value_option(argument)) {
      const std::string_view name = argument.substr(0, argument.find('='));
      const auto value = option_value(argument, name, arguments, at);
      if (!value || value->empty()) {
        return UsageError{"option '" + std::string(name) + "' needs a value"};
      }
      if (auto error = take_value(options, name, *option, *value)) {
        return *error;
      }
    } else {
      return UsageError{"unknown option '" + std::string(argument) + "'"};
    }
  }
  if (at >= arguments.size()) {
    return UsageError{"no program given"};
  }
  for (unsigned port = 0; port < options.com_path.size(); ++port) {
    const std::string &peer = options.com_path[port];
    if ((peer == "pty" || names_socket_peer(peer)) && !options.com_input_path[port].empty()) {
      const std::string com = "com" + std::to_string(port + 1);
      std::string message = "--" + com;
      message += " " + peer + " already takes " + upper(com);
      message += "'s input from its peer; drop --" + com + "-input";
      return UsageError{message};
    }
  }
  options.command.assign(arguments.begin() + static_cast<std::ptrdiff_t>(at), arguments.end());
  return options;
}

}  // namespace vuart

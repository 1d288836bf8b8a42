// vuart: runs a program against a virtual serial port at COM1 and records what it sends.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "files/nonblocking_output.h"
#include "files/pty.h"
#include "launch/containment.h"
#include "launch/options.h"
#include "launch/signals.h"
#include "process/tracer.h"
#include "trace/trace_log.h"

namespace {

// Opened without truncating, so that two names for one file are found before
// either is emptied, and without waiting: a FIFO must have its reader already.
vuart::UniqueFd open_output(const std::string &path, const char *what)
{
  vuart::UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644));
  if (!fd.valid() && errno == ENXIO) {
    vuart::report(std::string("open ") + what + " file " + path + ": a FIFO needs its reader first");
  } else if (!fd.valid()) {
    vuart::report_errno(std::string("open ") + what + " file " + path);
  }
  return fd;
}

// Whether two descriptors write the same file, so that their bytes would mix.
// Terminals and other devices are exempt: /dev/null or a tty may well serve both.
bool same_file(int first, int second)
{
  struct stat a {};
  struct stat b {};
  return fstat(first, &a) == 0 && fstat(second, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino &&
         !S_ISCHR(a.st_mode);
}

// The standard stream (1 or 2) whose file `path` names, if any: opening it
// again would write from offset 0 over what the stream writes.
std::optional<int> standard_stream_named(const std::string &path)
{
  struct stat named {};
  if (stat(path.c_str(), &named) != 0) {
    return std::nullopt;
  }
  for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    struct stat stream {};
    if (fstat(fd, &stream) == 0 && stream.st_dev == named.st_dev && stream.st_ino == named.st_ino) {
      return fd;
    }
  }
  return std::nullopt;
}

bool empty_if_regular(int fd, const std::string &path)
{
  struct stat file {};
  if (fstat(fd, &file) == 0 && S_ISREG(file.st_mode) && ftruncate(fd, 0) != 0) {
    vuart::report_errno("truncate " + path);
    return false;
  }
  return true;
}

std::string base_name(const std::string &path)
{
  return path.substr(path.find_last_of('/') + 1);
}

// COM1's line input from a file, a FIFO or a terminal, read without waiting.
vuart::UniqueFd open_line_input(const std::string &path)
{
  vuart::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  struct stat file {};
  if (!fd.valid() || fstat(fd.get(), &file) != 0) {
    vuart::report_errno("open COM1 input file " + path);
    return {};
  }
  if (S_ISDIR(file.st_mode)) {
    vuart::report("COM1 input file " + path + " is a directory");
    return {};
  }
  return fd;
}

// The trace's file, if one is asked for: not the file of a standard stream,
// whose lines would mix with the program's. nullopt when refused.
std::optional<vuart::UniqueFd> open_trace(const std::string &path)
{
  if (path.empty()) {
    return vuart::UniqueFd();
  }
  struct stat named {};
  const std::optional<int> stream = standard_stream_named(path);
  if (stream && stat(path.c_str(), &named) == 0 && !S_ISCHR(named.st_mode)) {
    vuart::report(std::string("the trace and the program's output (") +
                  (*stream == STDOUT_FILENO ? "standard output" : "standard error") +
                  ") are the same file; see 'vuart --help'");
    return std::nullopt;
  }
  vuart::UniqueFd fd = open_output(path, "trace");
  if (!fd.valid()) {
    return std::nullopt;
  }
  return fd;
}

// At the end of a run that started: what came on COM1's line that the program never read, then the summary.
void report_end(const vuart::Options &options, const vuart::RunSummary &summary, std::uint64_t com1_sent,
                vuart::LineInput *com1_input)
{
  if (summary.ending.empty()) {
    return;
  }
  if (com1_input != nullptr) {
    if (const std::uint64_t unread = summary.com1_unread + com1_input->left_at_end(); unread > 0) {
      vuart::report("the program never read " + std::to_string(unread) + " bytes that came on COM1's line (" +
                    com1_input->name() + ")");
    }
  }
  if (!options.quiet) {
    const auto counted = [](std::uint64_t count, const std::string &what) {
      return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
    };
    vuart::report(vuart::shell_quoted(base_name(options.command[0])) + " " + summary.ending + "; COM1 sent " +
                  counted(com1_sent, "byte") + " and received " + std::to_string(summary.com1_received) + ", in " +
                  counted(summary.port_instructions, "port instruction"));
  }
}

int run(int argc, char **argv)
{
  const auto parsed = vuart::parse_command_line(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
  if (std::holds_alternative<vuart::ShowHelp>(parsed)) {
    std::fputs(vuart::usage_text, stdout);
    return 0;
  }
  if (std::holds_alternative<vuart::ShowVersion>(parsed)) {
    std::printf("vuart %s\n", VUART_VERSION);
    return 0;
  }
  if (const auto *error = std::get_if<vuart::UsageError>(&parsed)) {
    vuart::report(error->message + "; see 'vuart --help'");
    return vuart::status_own_failure;
  }
  const auto &options = std::get<vuart::Options>(parsed);

  std::optional<vuart::UniqueFd> trace_fd = open_trace(options.trace_path);
  if (!trace_fd) {
    return vuart::status_own_failure;
  }
  // COM1 naming a standard stream's file shares that stream's open file, and so its offset.
  const bool com1_to_file = !options.com1_path.empty() && options.com1_path != "pty";
  const std::optional<int> com1_stream = com1_to_file ? standard_stream_named(options.com1_path) : std::nullopt;
  vuart::UniqueFd com1_fd;
  if (com1_to_file && !com1_stream && !(com1_fd = open_output(options.com1_path, "COM1")).valid()) {
    return vuart::status_own_failure;
  }
  const int com1_written = com1_fd.valid() ? com1_fd.get() : com1_stream.value_or(STDOUT_FILENO);
  if (trace_fd->valid() && same_file(trace_fd->get(), com1_written)) {
    vuart::report(std::string("the trace and COM1's output (") + (com1_to_file ? "--com1" : "standard output") +
                  ") are the same file; see 'vuart --help'");
    return vuart::status_own_failure;
  }
  if ((trace_fd->valid() && !empty_if_regular(trace_fd->get(), options.trace_path)) ||
      (com1_fd.valid() && !empty_if_regular(com1_fd.get(), options.com1_path))) {
    return vuart::status_own_failure;
  }

  vuart::Output standard_output = vuart::Output::standard_stream(STDOUT_FILENO, "standard output");
  vuart::Output com1_file;
  vuart::Pty com1_pty;
  if (options.com1_path == "pty") {
    com1_pty = vuart::open_pty(vuart::PtyMode::raw);
    if (!com1_pty.master.valid()) {
      return vuart::status_own_failure;
    }
    vuart::report("COM1 is " + com1_pty.path);
    com1_file =
        vuart::Output(vuart::UniqueFd(fcntl(com1_pty.master.get(), F_DUPFD_CLOEXEC, 3)), "COM1 to " + com1_pty.path);
  } else if (com1_stream == STDERR_FILENO) {
    com1_file = vuart::Output::standard_stream(STDERR_FILENO, "COM1 to standard error");
  } else if (com1_fd.valid()) {
    com1_file = vuart::Output(std::move(com1_fd), "COM1 file " + options.com1_path);
  }
  vuart::ByteSink com1(com1_file.enabled() ? com1_file : standard_output);
  vuart::TraceLog trace;
  if (trace_fd->valid()) {
    trace = vuart::TraceLog(std::move(*trace_fd));
  }

  std::optional<vuart::LineInput> com1_input;
  vuart::UniqueFd com1_input_file;
  if (com1_pty.master.valid()) {
    com1_input.emplace(com1_pty.master.get(), "COM1 from " + com1_pty.path);
  } else if (!options.com1_input_path.empty()) {
    if (!(com1_input_file = open_line_input(options.com1_input_path)).valid()) {
      return vuart::status_own_failure;
    }
    com1_input.emplace(com1_input_file.get(), "COM1 input file " + options.com1_input_path);
  }

  const vuart::CallerSignals caller_signals = vuart::take_over_signals();
  const bool com1_shares_program_output =
      (&com1.output() == &standard_output && !options.pty) || com1_stream == STDERR_FILENO;
  vuart::Tracer tracer(
      options, caller_signals,
      {standard_output, com1, trace, com1_shares_program_output, com1_pty.master.valid() ? &com1_pty : nullptr},
      com1_input ? &*com1_input : nullptr);
  const vuart::RunSummary summary = tracer.run();
  report_end(options, summary, com1.total(), com1_input ? &*com1_input : nullptr);
  return summary.exit_status;
}

}  // namespace

int main(int argc, char *argv[])
{
  // Before anything else: no file of vuart's may take the place of a closed
  // standard stream, and nothing the program does may reach vuart's privileges.
  if (!vuart::open_standard_descriptors() || !vuart::protect_self()) {
    vuart::report_errno("protect vuart from the program it runs");
    return vuart::status_own_failure;
  }
  if (const auto tracer = vuart::tracer_other_than_parent()) {
    vuart::report("process " + std::to_string(*tracer) + " attached to vuart as it started; refusing to run");
    return vuart::status_own_failure;
  }
  try {
    return run(argc, argv);
  } catch (const std::exception &error) {
    vuart::report(std::string("internal error: ") + error.what());
    return vuart::status_own_failure;
  }
}

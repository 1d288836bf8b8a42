// vuart: runs a program against a virtual serial port at COM1 and records what it sends.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "json.h"
#include "options.h"
#include "output.h"
#include "pty.h"
#include "tracer.h"

namespace {

vuart::UniqueFd create_file(const std::string &path, const char *what)
{
  vuart::UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid()) {
    vuart::report_errno(std::string("open ") + what + " file " + path);
  }
  return fd;
}

std::string base_name(const std::string &path)
{
  return path.substr(path.find_last_of('/') + 1);
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

  vuart::TraceLog trace;
  if (!options.trace_path.empty()) {
    vuart::UniqueFd fd = create_file(options.trace_path, "trace");
    if (!fd.valid()) {
      return vuart::status_own_failure;
    }
    trace = vuart::TraceLog(std::move(fd));
  }
  std::optional<vuart::ByteSink> com1;
  vuart::Pty com1_pty;
  if (options.com1_path.empty()) {
    com1.emplace(STDOUT_FILENO, "COM1 to standard output");
  } else if (options.com1_path == "pty") {
    com1_pty = vuart::open_pty(vuart::PtyMode::raw);
    if (!com1_pty.master.valid()) {
      return vuart::status_own_failure;
    }
    vuart::report("COM1 is " + com1_pty.path);
    com1.emplace(com1_pty.master.get(), "COM1 to " + com1_pty.path);
  } else {
    vuart::UniqueFd fd = create_file(options.com1_path, "COM1");
    if (!fd.valid()) {
      return vuart::status_own_failure;
    }
    com1.emplace(std::move(fd), "COM1 file");
  }
  std::optional<vuart::LineInput> com1_input;
  vuart::UniqueFd com1_input_file;
  if (com1_pty.master.valid()) {
    com1_input.emplace(com1_pty.master.get(), "COM1 from " + com1_pty.path);
  } else if (!options.com1_input_path.empty()) {
    com1_input_file = vuart::UniqueFd(open(options.com1_input_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!com1_input_file.valid()) {
      vuart::report_errno("open COM1 input file " + options.com1_input_path);
      return vuart::status_own_failure;
    }
    com1_input.emplace(com1_input_file.get(), "COM1 input file " + options.com1_input_path);
  }

  vuart::Tracer tracer(options, *com1, trace, com1_input ? &*com1_input : nullptr);
  const vuart::RunSummary summary = tracer.run();
  if (!options.quiet && !summary.ending.empty()) {
    vuart::report(base_name(options.command[0]) + " " + summary.ending + "; COM1 received " +
                  std::to_string(com1->total()) + " bytes from " + std::to_string(summary.port_instructions) +
                  " port instructions");
  }
  return summary.exit_status;
}

}  // namespace

int main(int argc, char *argv[])
{
  try {
    return run(argc, argv);
  } catch (const std::exception &error) {
    vuart::report(std::string("internal error: ") + error.what());
    return vuart::status_own_failure;
  }
}

// vuart: runs a program against a PC's virtual I/O ports and records what it sends.

#include <array>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "files/messages.h"
#include "launch/containment.h"
#include "launch/options.h"
#include "launch/signals.h"
#include "process/tracer.h"
#include "run_files.h"

namespace {

std::string base_name(const std::string &path)
{
  return path.substr(path.find_last_of('/') + 1);
}

std::string counted(std::uint64_t count, const std::string &what)
{
  return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

// At the end of a run that started: what came on a COM port's line that the program never read, what a port
// sent that went nowhere, then the summary.
void report_end(const vuart::Options &options, const vuart::RunSummary &summary, vuart::RunFiles &files)
{
  if (summary.ending.empty()) {
    return;
  }
  const auto inputs = files.inputs();
  std::string others;
  for (unsigned index = 0; index < inputs.size(); ++index) {
    const std::string com = vuart::PcPorts::com_name(index);
    if (vuart::LineInput *input = inputs.at(index)) {
      const vuart::LineInput::Unread left = input->left_at_end();
      if (const std::uint64_t unread = summary.com_unread.at(index) + left.bytes; unread > 0) {
        vuart::report("the program never read " + std::to_string(unread) + (left.more ? " or more" : "") +
                      " bytes that came on " + com + "'s line (" + input->name() + ")");
      }
    }
    const std::uint64_t sent = summary.com_sent.at(index);
    if (files.com_sink(index) == nullptr && sent > 0) {
      vuart::report(com + " sent " + counted(sent, "byte") + " to no file; --com" + std::to_string(index + 1) +
                    " FILE keeps them");
    }
    if (index > 0 && (sent > 0 || summary.com_received.at(index) > 0)) {
      others += "; " + com + " sent " + counted(sent, "byte") + " and received " +
                std::to_string(summary.com_received.at(index));
    }
  }
  if (!files.debug_console_kept() && summary.debug_console_written > 0) {
    vuart::report("the debug console got " + counted(summary.debug_console_written, "byte") +
                  " and no file; --debugcon FILE keeps them");
  }
  if (summary.last_post_code) {
    std::array<char, 8> code{};
    std::snprintf(code.data(), code.size(), "0x%02X", *summary.last_post_code);
    others += std::string("; last POST code ") + code.data();
  }
  if (!options.quiet) {
    vuart::report(vuart::shell_quoted(base_name(options.command[0])) + " " + summary.ending + "; COM1 sent " +
                  counted(files.com_sink(0)->total(), "byte") + " and received " +
                  std::to_string(summary.com_received[0]) + ", in " +
                  counted(summary.port_instructions, "port instruction") + others);
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

  vuart::RunFiles files;
  if (!files.open(options)) {
    return vuart::status_own_failure;
  }
  const vuart::CallerSignals caller_signals = vuart::take_over_signals();
  vuart::Tracer tracer(options, caller_signals, files.outputs(), files.inputs());
  const vuart::RunSummary summary = tracer.run();
  report_end(options, summary, files);
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

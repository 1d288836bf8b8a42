#pragma once
// The files a run reads and writes for the program, opened and checked before
// it starts: the trace, standard output, each COM port's output and line, and
// the debug console's output.

#include <array>
#include <optional>
#include <string>

#include "devices/pc_ports.h"
#include "files/line_input.h"
#include "files/nonblocking_output.h"
#include "files/pty.h"
#include "launch/options.h"
#include "process/output_pump.h"
#include "trace/trace_log.h"

namespace vuart {

class RunFiles {
 public:
  RunFiles() = default;
  RunFiles(const RunFiles &) = delete;  // the sinks point at the outputs
  RunFiles &operator=(const RunFiles &) = delete;
  RunFiles(RunFiles &&) = delete;
  RunFiles &operator=(RunFiles &&) = delete;
  ~RunFiles() = default;

  // Opens them all; false, with the reason reported, when one cannot be opened or
  // two would be the same file.
  bool open(const Options &options);

  [[nodiscard]] Outputs outputs();
  [[nodiscard]] std::array<LineInput *, PcPorts::com_ports> inputs();
  [[nodiscard]] bool debug_console_kept() const { return debug_console_.has_value(); }
  [[nodiscard]] const ByteSink *com_sink(unsigned index) const
  {
    return com_sink_[index] ? &*com_sink_[index] : nullptr;
  }

 private:
  bool open_files(const Options &options);
  bool connect(const Options &options);

  std::array<UniqueFd, PcPorts::com_ports> com_fd_;
  std::optional<int> com1_stream_;  // COM1 named standard output's or error's file
  UniqueFd debug_console_fd_;
  UniqueFd trace_fd_;

  Output standard_output_;
  std::array<Output, PcPorts::com_ports> com_file_;
  std::array<Pty, PcPorts::com_ports> com_pty_;
  std::array<UniqueFd, PcPorts::com_ports> com_peer_;  // a client over a socket
  std::array<std::optional<ByteSink>, PcPorts::com_ports> com_sink_;
  std::array<UniqueFd, PcPorts::com_ports> input_file_;
  std::array<std::optional<LineInput>, PcPorts::com_ports> input_;
  Output debug_console_file_;
  std::optional<ByteSink> debug_console_;
  TraceLog trace_;
  bool com1_shares_program_output_ = false;
};

}  // namespace vuart

#pragma once
// What the program sends, on its way out: its terminal (--pty) drained into
// standard output, COM1's and the trace's buffers flushed as their files take
// them, failures noticed, and at the end what is left delivered.

#include <poll.h>

#include <array>
#include <cstdint>
#include <vector>

#include "files/nonblocking_output.h"
#include "files/pty.h"
#include "files/unique_fd.h"
#include "launch/signals.h"
#include "trace/trace_log.h"

namespace vuart {

// What vuart writes for the program, and where.
struct Outputs {
  Output &standard_output;  // vuart's own, where the program's terminal (--pty) goes
  ByteSink &com1;
  TraceLog &trace;
  bool com1_shares_program_output = false;  // COM1 goes to a file the program writes itself
  std::array<ByteSink *, 3> other_com{};    // COM2-COM4, nullptr where a port's bytes go nowhere
  ByteSink *debug_console = nullptr;        // likewise
  std::array<const Pty *, 4> com_pty{};     // a COM port's terminal: its client may read what is left at the end

  // COM(index + 1)'s sink: COM1's always, the others' where they have one.
  [[nodiscard]] ByteSink *com_sink(unsigned index) const { return index == 0 ? &com1 : other_com.at(index - 1); }
};

class ProgramOutput {
 public:
  explicit ProgramOutput(Outputs outputs) : outputs_(outputs) {}

  [[nodiscard]] const Outputs &outputs() const { return outputs_; }
  // The master of the program's terminal, read into standard output.
  void attach_terminal(UniqueFd master) { terminal_ = std::move(master); }
  // Gives the program's terminal the size of vuart's own, if vuart has one; the kernel tells the program.
  void copy_window_size() const;
  // Reads the program's terminal as far as standard output has room.
  void pump_terminal();
  // Whether the last pump_terminal() found nothing more to read.
  [[nodiscard]] bool terminal_drained() const { return terminal_drained_; }
  void flush();
  // Hands what the devices sent during an instruction on to their outputs' buffers.
  void flush_devices();
  // What the loop must wait on besides vuart's signals.
  void watch(std::vector<pollfd> &watched) const;
  // How many elements of a port instruction the outputs have room for now.
  [[nodiscard]] std::uint64_t element_limit(bool sends, unsigned width) const;
  // Whether COM1's bytes still wait, where the program writes too: it must not go on before them.
  [[nodiscard]] bool com1_ahead_of_program() const;

  enum class Trouble {
    none,
    lost,         // an output failed for good: nothing the program sends can go anywhere
    reader_gone,  // standard output's reader went away: the program hears of it as from a write of its own
  };
  // Each trouble once, the first time it is seen.
  Trouble trouble();
  [[nodiscard]] bool failed() const;  // some output lost bytes

  // Once the program has ended: waits while the outputs take what is left, or
  // for a COM port's terminal, while its client reads. A signal ends the wait and
  // vuart; after `stop_asked` the terminals get no more time.
  void deliver_rest(SignalReader &signals, bool stop_asked);

 private:
  [[nodiscard]] std::vector<Output *> all() const;
  [[nodiscard]] std::vector<ByteSink *> device_sinks() const;  // COM ports' and the debug console's
  [[nodiscard]] std::uint64_t left() const;

  Outputs outputs_;
  UniqueFd terminal_;
  bool terminal_drained_ = true;
  bool lost_ = false;
  bool reader_gone_ = false;
};

}  // namespace vuart

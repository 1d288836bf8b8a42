#pragma once
// Runs a program under ptrace against the virtual port space: one loop that
// waits on everything at once (the program's stops, vuart's signals, the
// program's terminal, the outputs) and never blocks in anything else.

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "files/line_input.h"
#include "files/messages.h"
#include "files/pty.h"
#include "files/unique_fd.h"
#include "launch/options.h"
#include "launch/signals.h"
#include "process/output_pump.h"
#include "process/port_io.h"
#include "process/ptrace_calls.h"
#include "process/remote_call.h"
#include "process/segv_state.h"
#include "process/syscalls.h"
#include "process/threads.h"
#include "trace/trace_log.h"

namespace vuart {

struct RunSummary {
  int exit_status = 0;  // vuart's own: the program's status, 128+N for signal N, or 125-127
  std::string ending;   // "exited with status 0", "was killed by SIGABRT", or empty when it never ran
  std::uint64_t port_instructions = 0;
  std::array<std::uint64_t, PcPorts::com_ports> com_sent{};      // bytes each COM port's transmitter sent
  std::array<std::uint64_t, PcPorts::com_ports> com_received{};  // bytes each receiver took from its line
  std::array<std::uint64_t, PcPorts::com_ports> com_unread{};    // of those, the ones it still held at the end
  std::optional<std::uint8_t> last_post_code;
  std::uint64_t debug_console_written = 0;
};

class Tracer {
 public:
  // inputs[i], when given, supplies the bytes that arrive on COM(i+1)'s line.
  Tracer(const Options &options, const CallerSignals &caller_signals, Outputs outputs,
         std::array<LineInput *, PcPorts::com_ports> inputs = {});
  RunSummary run();

 private:
  void loop();
  void collect_stops();
  void handle(pid_t tid, WaitStatus status);
  void handle_stop(pid_t tid, WaitStatus status);
  void handle_event(pid_t tid, WaitStatus status);
  void handle_signal_stop(pid_t tid, int signal);
  void handle_new_tracee(pid_t parent, pid_t child, unsigned long clone_flags);
  void handle_exec(pid_t tid);
  void handle_vuart_signal(const Arrival &signal);
  void wait_for_stop();

  void wait_in_line(pid_t tid, Waiting why);
  void serve_waiting();
  bool proceed(pid_t tid);
  void release_signalled();

  void flush_outputs();
  void check_outputs(pid_t tid);
  void end_everything();
  void finish(int status);

  const Options &options_;
  const CallerSignals &caller_signals_;
  ProgramOutput output_;
  TraceLog &trace_ = output_.outputs().trace;
  SignalReader signals_;
  ProgramSignals program_signals_;
  RemoteCalls remote_{signals_.fd()};
  SegvState segv_state_{remote_};
  PortIo port_io_;
  Syscalls syscalls_;
  pid_t main_pid_ = -1;
  bool exec_seen_ = false;
  bool stop_asked_ = false;  // vuart's caller sent a signal that asks for an end
  bool refused_ = false;     // the run could not go on, and was ended
  bool hidden_ = false;      // the program's memory is hidden from vuart: it was not run
  std::map<pid_t, Thread> threads_;
  std::deque<pid_t> waiting_;     // threads stopped until the outputs have room, in the order they came
  std::set<pid_t> early_starts_;  // new tracees that stopped before their parent's clone event
  std::optional<int> main_status_;
};

}  // namespace vuart

#pragma once
// The program's port instructions: the instruction at a thread's #GP decoded,
// checked against the thread's permissions, carried out on the virtual port
// space as far as the outputs have room, and recorded in the trace.

#include <sys/types.h>

#include <cstdint>
#include <vector>

#include "devices/pc_ports.h"
#include "files/line_input.h"
#include "process/output_pump.h"
#include "process/segv_state.h"
#include "process/string_memory.h"
#include "process/threads.h"
#include "trace/port_filter.h"

namespace vuart {

class PortIo {
 public:
  // inputs[i], when given, supplies the bytes that arrive on COM(i+1)'s line.
  PortIo(ProgramOutput &output, std::array<LineInput *, PcPorts::com_ports> inputs, const PortFilter &trace_ports,
         SegvState &segv_state, RemoteCalls &remote);

  enum class Step {
    done,             // the thread goes on, or gets its signal
    refused,          // the run cannot go on (RemoteCalls::run_cannot_go_on says why)
    waits_for_room,   // before (the rest of) its instruction
    waits_for_flush,  // done, but its COM1 bytes must reach the file the program writes first
  };
  // The most the devices' events of one part of an instruction hold: a longer
  // transfer goes on in parts, each traced when done, so vuart's memory stays small.
  static constexpr std::size_t events_per_part = std::size_t{1} << 16;
  // At a thread's #GP (a SIGSEGV from the kernel).
  Step carry_out(pid_t tid, Thread &thread);
  // Whether the thread's #GP is a port instruction it may use, which may have to wait for the outputs' room;
  // anything else carry_out does at once.
  static bool needs_outputs(pid_t tid, const Thread &thread);
  [[nodiscard]] std::uint64_t instructions() const { return instructions_; }
  [[nodiscard]] const PcPorts &ports() const { return ports_; }
  void forget(pid_t process) { windows_.forget(process); }
  void inherit(pid_t creator, pid_t child) { windows_.inherit(creator, child); }

 private:
  // The trap that follows an instruction run with the trap flag: the processor
  // raises it, and it waits in `thread.held_signal`, its address the next instruction's.
  static void trap(pid_t tid, Thread &thread, ProgramMemory &memory, const user_regs_struct &regs);
  // What the thread's #GP is: a port instruction it may use, or CLI or STI with iopl(3), or neither.
  struct AtFault {
    std::optional<PortInstruction> instruction;
    bool cli_or_sti;
    std::optional<PortInstruction> refused;  // a port instruction its permissions do not cover
  };
  static AtFault at_fault(pid_t tid, const Thread &thread, const user_regs_struct &regs);

  // As much of the instruction as the outputs have room for; nullopt when only the events' room ran
  // out, which writing them gives back: the next part follows at once.
  std::optional<Step> carry_out_part(pid_t tid, Thread &thread);
  // The trace's record of what the devices did during the instruction, after its own.
  void write_device_events();

  ProgramOutput &output_;
  const PortFilter &trace_ports_;
  SegvState &segv_state_;
  RemoteCalls &remote_;
  TransferWindows windows_;
  PcPorts ports_;
  std::uint64_t instructions_ = 0;
};

}  // namespace vuart

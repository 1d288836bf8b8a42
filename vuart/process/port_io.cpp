#include "process/port_io.h"

#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <sstream>
#include <string>
#include <utility>

#include "files/messages.h"
#include "process/ptrace_calls.h"
#include "trace/event_schema.h"
#include "trace/trace_log.h"
#include "x86/executor.h"

namespace vuart {

namespace {

std::array<SerialLine, PcPorts::com_ports> serial_lines(const Outputs &outputs,
                                                        std::array<LineInput *, PcPorts::com_ports> inputs)
{
  std::array<SerialLine, PcPorts::com_ports> lines;
  for (unsigned index = 0; index < lines.size(); ++index) {
    if (ByteSink *sink = outputs.com_sink(index)) {
      lines[index].transmit = [sink](std::span<const std::uint8_t> bytes) { sink->put(bytes); };
    }
    if (LineInput *input = inputs[index]) {
      lines[index].receive = [input] { return input->next(); };
    }
  }
  return lines;
}

}  // namespace

PortIo::PortIo(ProgramOutput &output, std::array<LineInput *, PcPorts::com_ports> inputs, const PortFilter &trace_ports,
               SegvState &segv_state, RemoteCalls &remote)
    : output_(output), trace_ports_(trace_ports), segv_state_(segv_state), remote_(remote),
      ports_(serial_lines(output.outputs(), inputs),
             [sink = output.outputs().debug_console](std::span<const std::uint8_t> bytes) {
               if (sink != nullptr) {
                 sink->put(bytes);
               }
             })
{
  ports_.events().set_recording(output.outputs().trace.enabled());
}

void PortIo::write_device_events()
{
  for (const DeviceEvent &event : ports_.events().take()) {
    if (trace_ports_.covers(event.port)) {
      output_.outputs().trace.write(trace_events::device(event));
    }
  }
}

void PortIo::trap(pid_t tid, Thread &thread, ProgramMemory &memory, const user_regs_struct &regs)
{
  if (std::optional<siginfo_t> trap = memory.trap_after()) {
    trap->si_addr = reinterpret_cast<void *>(regs.rip);  // NOLINT(performance-no-int-to-ptr): a tracee address
    if (const auto held = std::exchange(thread.held_signal, *trap); held) {
      syscall(SYS_tgkill, thread.process, tid, held->si_signo);  // came during the stub: it follows the trap
    }
  }
  set_registers(tid, regs);
}

PortIo::AtFault PortIo::at_fault(pid_t tid, const Thread &thread, const user_regs_struct &regs)
{
  std::array<std::uint8_t, max_instruction_length> code{};
  const std::size_t readable = read_code(tid, regs.rip, code);
  // Linux's user code segments: 64-bit, and 32-bit compatibility mode. Code in
  // a segment of the program's own (modify_ldt) gets the kernel's SIGSEGV.
  const auto instruction =
      regs.cs == code64_selector || regs.cs == code32_selector
          ? decode_port_instruction(std::span(code).first(readable),
                                    regs.cs == code64_selector ? CodeMode::long64 : CodeMode::compat32)
          : std::nullopt;
  if (instruction && permitted(*instruction, regs, thread.permissions)) {
    return {instruction, false, std::nullopt};
  }
  // Linux makes CLI and STI no-ops for a thread with iopl(3), so that tools that
  // bracket their port I/O with them keep working.
  constexpr std::uint8_t cli = 0xFA;
  constexpr std::uint8_t sti = 0xFB;
  return {std::nullopt,
          !instruction && readable > 0 && (code[0] == cli || code[0] == sti) && thread.permissions.iopl_level() == 3,
          instruction};
}

bool PortIo::needs_outputs(pid_t tid, const Thread &thread)
{
  const auto regs = registers(tid);
  return regs && at_fault(tid, thread, *regs).instruction;
}

PortIo::Step PortIo::carry_out(pid_t tid, Thread &thread)
{
  for (;;) {
    if (const std::optional<Step> step = carry_out_part(tid, thread)) {
      return *step;
    }
  }
}

std::optional<PortIo::Step> PortIo::carry_out_part(pid_t tid, Thread &thread)
{
  auto regs = registers(tid);
  if (!regs) {
    return Step::done;  // it died: waitpid tells
  }
  const AtFault fault = at_fault(tid, thread, *regs);
  if (fault.cli_or_sti) {
    if (!std::exchange(thread.told_cli_sti, true)) {  // as Linux says so, once a thread
      std::ostringstream at;
      at << std::hex << regs->rip;
      report("thread " + std::to_string(tid) + " of process " + std::to_string(thread.process) +
             " used CLI/STI with iopl(3): they do nothing, as under Linux (at 0x" + at.str() + ")");
    }
    regs->rip += 1;
    set_registers(tid, *regs);
    resume(tid);
    return Step::done;
  }
  if (!fault.instruction) {
    if (fault.refused && trace_ports_.covers(port_of(*fault.refused, *regs), fault.refused->width)) {
      output_.outputs().trace.write(trace_events::refused(tid, *regs, *fault.refused));
    }
    resume(tid, SIGSEGV);  // not a port instruction it may use: exactly what the processor and kernel do
    return Step::done;
  }
  const PortInstruction *const instruction = &*fault.instruction;
  const bool sends = instruction->op == PortOp::out || instruction->op == PortOp::outs;
  output_.pump_terminal();  // what the program printed before this instruction comes first
  const auto allowance = [&] {
    output_.flush();  // a long transfer goes on as its outputs drain
    const std::size_t events_room = events_per_part - std::min(events_per_part, ports_.events().size());
    return std::min<std::uint64_t>(output_.element_limit(sends, instruction->width), events_room / instruction->width);
  };
  if (!output_.terminal_drained() || allowance() == 0) {
    return Step::waits_for_room;
  }
  const bool strings = instruction->op == PortOp::ins || instruction->op == PortOp::outs;
  // With the trap flag set the processor traps after the instruction, and after each element of a rep.
  const bool single_step = (regs->eflags & trap_flag) != 0;
  std::uint64_t steps_left = 1;
  const auto one_step = [&]() -> std::uint64_t {
    const std::uint64_t allowed = std::min(allowance(), steps_left);
    steps_left -= allowed;
    return allowed;
  };
  const std::optional<Window> window = strings || single_step ? windows_.window(tid, thread, *regs, remote_) : Window{};
  const auto cannot_go_on = [&]() -> std::optional<Step> {
    if (const std::optional<std::string> why = remote_.run_cannot_go_on()) {
      report(*why + "; ending the run");
      return Step::refused;
    }
    return std::nullopt;
  };
  if (const auto ending = cannot_go_on()) {
    return *ending;
  }
  const user_regs_struct before = *regs;
  TraceLine event(output_.outputs().trace, trace_events::port(tid, before, *instruction), trace_events::bytes_field,
                  trace_ports_.covers(port_of(*instruction, before), instruction->width));
  std::optional<TraceeMemory> through_window;
  std::optional<DirectMemory> directly;
  ProgramMemory &memory =
      window ? static_cast<ProgramMemory &>(through_window.emplace(tid, thread, before, *window, remote_))
             : directly.emplace(tid, before);
  const Execution execution =
      execute(*instruction, *regs, memory, ports_.bus(),
              output_.outputs().trace.enabled()
                  ? ByteObserver([&event](std::span<const std::uint8_t> bytes) { event.bytes(bytes); })
                  : ByteObserver(),
              single_step ? ElementAllowance(one_step) : ElementAllowance(allowance));
  if (const auto ending = cannot_go_on()) {
    return *ending;
  }
  if (execution.result == Execution::Result::completed) {
    regs->eflags &= ~resume_flag;  // else an instruction breakpoint on the next instruction would be passed over
  }
  output_.flush_devices();
  set_registers(tid, *regs);
  event.finish(trace_events::port_done(execution.record.count, execution.record.fault));
  write_device_events();
  if (!std::exchange(thread.instruction_begun, execution.result == Execution::Result::interrupted)) {
    ++instructions_;
  }
  const bool stepped = single_step && (execution.result == Execution::Result::completed ||
                                       (execution.result == Execution::Result::interrupted && steps_left == 0));
  if (execution.result == Execution::Result::interrupted && !stepped) {
    // What held it back may have been the events' room alone, given back now that they are written.
    const bool goes_on = execution.record.count > 0 && output_.terminal_drained() && allowance() > 0;
    return goes_on ? std::nullopt : std::optional(Step::waits_for_room);
  }
  if (execution.result == Execution::Result::completed || stepped) {
    // On hardware nothing faulted: undo what the kernel did to SIGSEGV when it raised the fault.
    segv_state_.restore(tid, thread, *regs);
    if (stepped) {
      trap(tid, thread, memory, *regs);
    }
    if (output_.com1_ahead_of_program()) {
      return Step::waits_for_flush;  // what the program writes next must come after these bytes
    }
    resume_holding(tid, thread.held_signal);
    return Step::done;
  }
  // The processor's own fault, raised by the stub, stopped the thread: its signal
  // context (trap number, error code, CR2) is the kernel's. A SIGSEGV has the
  // same effect on SIGSEGV's state as the port #GP had; any other signal does
  // not, so that state is put back first, and the fault raised again after.
  const int signal = execution.fault.si_signo;
  const bool state_put_back = signal != SIGSEGV && segv_state_.restore(tid, thread, *regs);
  memory.prepare_fault(execution.fault, state_put_back);
  set_registers(tid, *regs);
  if (signal == SIGSEGV) {
    SegvState::delivered(thread);
  }
  resume(tid, signal);
  if (const auto held = std::exchange(thread.held_signal, std::nullopt)) {
    syscall(SYS_tgkill, thread.process, tid, held->si_signo);  // came during the stub: it follows the fault
  }
  return Step::done;
}

}  // namespace vuart

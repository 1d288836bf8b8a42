#include "remote_call.h"

#include <sys/ptrace.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "tracee_memory.h"

namespace vuart {

bool RemoteCalls::wait_for(pid_t tid, WaitStatus &status)
{
  int raw = 0;
  pid_t waited;
  while ((waited = waitpid(tid, &raw, __WALL)) < 0 && errno == EINTR) {
  }
  if (waited != tid) {
    return false;
  }
  status = WaitStatus{raw};
  if (status.ended()) {
    ended_meanwhile_.emplace_back(tid, status);
    return false;
  }
  return true;
}

std::optional<RemoteCalls::Entry> RemoteCalls::syscall_instruction(pid_t tid, pid_t process)
{
  if (const auto known = syscall_addresses_.find(process); known != syscall_addresses_.end()) {
    return known->second;
  }
  // Any such instruction will do: the vDSO, mapped into every process, has some.
  const auto vdso = vdso_range(tid);
  if (!vdso) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> text(vdso->second - vdso->first);
  text.resize(read_tracee(tid, vdso->first, text, Direction::up));
  constexpr std::size_t elf_class = 4;  // in the ELF header: 1 for 32-bit, 2 for 64-bit
  const bool i386 = text.size() > elf_class && text[elf_class] == 1;
  static constexpr std::array<std::uint8_t, 2> syscall_opcode = {0x0F, 0x05};
  static constexpr std::array<std::uint8_t, 2> int80_opcode = {0xCD, 0x80};
  const auto &opcode = i386 ? int80_opcode : syscall_opcode;
  const auto found = std::search(text.begin(), text.end(), opcode.begin(), opcode.end());
  if (found == text.end()) {
    return std::nullopt;
  }
  return syscall_addresses_[process] = Entry{vdso->first + static_cast<std::uint64_t>(found - text.begin()), i386};
}

std::optional<long> RemoteCalls::system_call(pid_t tid, Thread &thread, const user_regs_struct &regs, Numbers number,
                                             std::span<const std::uint64_t> arguments)
{
  const std::optional<Entry> entry = syscall_instruction(tid, thread.process);
  if (!entry || (entry->i386 && !number.i386)) {
    return std::nullopt;
  }
  user_regs_struct call = regs;
  call.rip = entry->address;
  call.rax = static_cast<std::uint64_t>(entry->i386 ? *number.i386 : number.x86_64);
  if (!entry->i386) {
    call.cs = code64_selector;  // a thread in 32-bit code makes it in 64-bit code
  }
  const auto argument_slots = argument_registers(call, entry->i386);
  for (std::size_t i = 0; i < arguments.size() && i < argument_slots.size(); ++i) {
    *argument_slots[i] = arguments[i];
  }
  set_registers(tid, call);
  for (;;) {
    if (!traced(ptrace(PTRACE_SINGLESTEP, tid, nullptr, 0), "PTRACE_SINGLESTEP", tid)) {
      return std::nullopt;
    }
    WaitStatus status{};
    if (!wait_for(tid, status)) {
      return std::nullopt;
    }
    if (status.stop_signal() == SIGTRAP && status.event() == 0) {
      break;  // stepped over the call
    }
    if (status.event() == 0 && !status.syscall_stop()) {
      siginfo_t arrived{};  // a signal came meanwhile: it is delivered once the program goes on
      if (ptrace(PTRACE_GETSIGINFO, tid, nullptr, &arrived) == 0) {
        thread.held_signal = arrived;
      }
    }
  }
  const auto after = registers(tid);
  set_registers(tid, regs);
  if (!after) {
    return std::nullopt;
  }
  if (!entry->i386) {
    return static_cast<long>(after->rax);
  }
  // A 32-bit result: -4095..-1 an error number, anything else (an address above 2 GiB too) positive.
  const auto result = static_cast<std::int32_t>(after->rax);
  return result < 0 && result > -4096 ? result : static_cast<long>(static_cast<std::uint32_t>(after->rax));
}

std::optional<StubStop> RemoteCalls::run_stub(pid_t tid, Thread &thread, const user_regs_struct &start)
{
  // All but the faults wait: the stub is a moment of the port instruction's, not a point where signals arrive.
  constexpr std::uint64_t faults = signal_bit(SIGSEGV) | signal_bit(SIGBUS) | signal_bit(SIGTRAP);
  std::uint64_t mask = 0;
  if (!traced(ptrace(PTRACE_GETSIGMASK, tid, sizeof mask, &mask), "PTRACE_GETSIGMASK", tid)) {
    return std::nullopt;
  }
  std::uint64_t during = ~faults | (mask & faults);
  if (!traced(ptrace(PTRACE_SETSIGMASK, tid, sizeof during, &during), "PTRACE_SETSIGMASK", tid)) {
    return std::nullopt;
  }
  set_registers(tid, start);
  std::optional<StubStop> stop;
  while (!stop) {
    resume(tid);
    WaitStatus status{};
    if (!wait_for(tid, status)) {
      return std::nullopt;
    }
    siginfo_t info{};
    if (status.event() != 0 || status.syscall_stop() ||
        !traced(ptrace(PTRACE_GETSIGINFO, tid, nullptr, &info), "PTRACE_GETSIGINFO", tid)) {
      continue;  // a group-stop: the stub finishes first
    }
    if ((info.si_signo == SIGSEGV || info.si_signo == SIGBUS || info.si_signo == SIGTRAP) && info.si_code > 0) {
      stop = StubStop{info, {}};  // from the processor
    } else {
      thread.held_signal = info;  // sent by someone: delivered once the program goes on
    }
  }
  // A fault unblocks SIGSEGV or SIGBUS as it would on the processor; the rest of the mask is the program's again.
  std::uint64_t now = 0;
  if (traced(ptrace(PTRACE_GETSIGMASK, tid, sizeof now, &now), "PTRACE_GETSIGMASK", tid)) {
    std::uint64_t after = (mask & ~faults) | (now & faults);
    traced(ptrace(PTRACE_SETSIGMASK, tid, sizeof after, &after), "PTRACE_SETSIGMASK", tid);
  }
  const auto regs = registers(tid);
  if (!regs) {
    return std::nullopt;
  }
  stop->regs = *regs;
  return stop;
}

}  // namespace vuart

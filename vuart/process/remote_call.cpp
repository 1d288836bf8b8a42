#include "process/remote_call.h"

#include <poll.h>
#include <sys/ptrace.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "files/messages.h"
#include "launch/signals.h"
#include "process/string_memory.h"

namespace vuart {

namespace {

constexpr std::array<std::uint8_t, 2> syscall_opcode = {0x0F, 0x05};
constexpr std::array<std::uint8_t, 2> int80_opcode = {0xCD, 0x80};
// Signals that may stop a thread before its one instruction runs; past that, something else runs in it.
constexpr int most_steps = 64;
// How long vuart's code in a thread may still take once vuart has a signal to
// act on: it moves at most a window's bytes and makes calls that do not block.
constexpr auto grace_after_signal = std::chrono::seconds(1);
constexpr long ptrace_get_syscall_user_dispatch_config = 0x4211;
constexpr int sys_seccomp_code = 1, sys_user_dispatch_code = 2;  // SIGSYS's si_code from a filter, from dispatch

struct SyscallUserDispatchConfig {
  std::uint64_t mode, selector, offset, len;
};

// The Seccomp and Seccomp_filters lines of a status file: the mode (2 for
// filters, 1 for strict) and the number of filters; nothing where the kernel does not say.
std::optional<std::pair<unsigned, unsigned>> seccomp_state(const std::string &status_path)
{
  std::ifstream status(status_path);
  std::optional<unsigned> mode;
  std::optional<unsigned> filters;
  for (std::string line; std::getline(status, line);) {
    const auto value = [&] { return static_cast<unsigned>(std::stoul(line.substr(line.find(':') + 1))); };
    if (line.starts_with("Seccomp:")) {
      mode = value();
    } else if (line.starts_with("Seccomp_filters:")) {
      filters = value();
    }
  }
  return mode && filters ? std::optional(std::pair{*mode, *filters}) : std::nullopt;
}

}  // namespace

RemoteCalls::RemoteCalls(int wake_fd) : wake_fd_(wake_fd)
{
  const auto own = seccomp_state("/proc/self/status");
  inherited_filters_ = own ? own->second : 0;
}

bool RemoteCalls::wait_for(pid_t tid, WaitStatus &status)
{
  using Clock = std::chrono::steady_clock;
  std::optional<Clock::time_point> asked_to_end;
  for (unsigned round = 0;; ++round) {
    int raw = 0;
    const pid_t waited = waitpid(tid, &raw, __WALL | WNOHANG);
    if (waited == tid) {
      status = WaitStatus{raw};
      if (status.ended()) {
        ended_meanwhile_.emplace_back(tid, status);
        return false;
      }
      return true;
    }
    if (waited < 0 && errno != EINTR) {
      return false;
    }
    if (!asked_to_end && SignalReader::any_noted()) {
      asked_to_end = Clock::now();
    }
    if (asked_to_end && Clock::now() - *asked_to_end > grace_after_signal) {
      ending_ = "thread " + std::to_string(tid) + " did not come back from vuart's code in it";
      return false;
    }
    // The wake descriptor is left for vuart's loop to drain, so it may stay
    // readable: past the first rounds, sleep instead of spinning on it.
    pollfd wake{wake_fd_, POLLIN, 0};
    if (round < 64 || poll(&wake, 1, 0) == 0) {
      poll(&wake, 1, 10);
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(std::min(round, 1000U)));
    }
  }
}

bool RemoteCalls::policy_allows_calls(pid_t tid, pid_t process)
{
  auto known = policies_.find(process);
  if (known == policies_.end()) {
    // A filter of the program's own may kill it for a call of vuart's, and
    // strict mode or syscall user dispatch would; vuart's filter is one more than it inherited.
    std::string refusal;
    const auto seccomp = seccomp_state("/proc/" + std::to_string(tid) + "/status");
    SyscallUserDispatchConfig dispatch{};
    if (!seccomp || seccomp->first == 1) {
      refusal = "it runs in seccomp's strict mode";
    } else if (seccomp->second > inherited_filters_ + 1) {
      refusal = "its own seccomp filter might refuse vuart's calls";
    } else if (ptrace(static_cast<__ptrace_request>(ptrace_get_syscall_user_dispatch_config), tid, sizeof dispatch,
                      &dispatch) == 0 &&
               dispatch.mode != 0) {
      refusal = "its syscall user dispatch might refuse vuart's calls";
    }
    known = policies_.emplace(process, refusal).first;
  }
  return known->second.empty();
}

std::string RemoteCalls::why_no_calls(pid_t process) const
{
  const auto known = policies_.find(process);
  return known != policies_.end() && !known->second.empty() ? known->second : not_made_;
}

std::optional<RemoteCalls::Entry> RemoteCalls::syscall_instruction(pid_t tid, pid_t process)
{
  if (const auto known = entries_.find(process); known != entries_.end()) {
    return known->second;
  }
  // Any such instruction will do: the vDSO, mapped into every process, has some.
  const auto vdso = vdso_range(tid);
  if (!vdso) {
    return std::nullopt;
  }
  constexpr std::uint64_t largest_vdso = std::uint64_t{64} * 1024;
  std::vector<std::uint8_t> text(std::min(vdso->second - vdso->first, largest_vdso));
  text.resize(read_tracee(tid, vdso->first, text, Direction::up));
  constexpr std::size_t elf_class = 4;  // in the ELF header: 1 for 32-bit, 2 for 64-bit
  const bool i386 = text.size() > elf_class && text[elf_class] == 1;
  const auto &opcode = i386 ? int80_opcode : syscall_opcode;
  const auto found = std::search(text.begin(), text.end(), opcode.begin(), opcode.end());
  if (found == text.end()) {
    return std::nullopt;
  }
  return entries_[process] = Entry{vdso->first + static_cast<std::uint64_t>(found - text.begin()), i386};
}

std::optional<bool> RemoteCalls::makes_i386_calls(pid_t tid, pid_t process)
{
  const auto entry = policy_allows_calls(tid, process) ? syscall_instruction(tid, process) : std::nullopt;
  if (!entry) {
    not_made_ = "it has no vDSO to make the call from";
  }
  return entry ? std::optional(entry->i386) : std::nullopt;
}

void RemoteCalls::use_own_code(pid_t process, std::uint64_t address)
{
  if (const auto known = entries_.find(process); known != entries_.end()) {
    known->second.address = address;
  }
}

void RemoteCalls::inherit(pid_t creator, pid_t child)
{
  if (const auto known = entries_.find(creator); known != entries_.end()) {
    entries_[child] = known->second;
  }
}

std::optional<RemoteCalls::Entry> RemoteCalls::checked_instruction(pid_t tid, pid_t process)
{
  // The program may have unmapped or replaced the instruction since vuart found
  // it: vuart's own, where the kernel cannot seal it, or the vDSO's. Then the vDSO is searched again.
  for (int tries = 0; tries < 2; ++tries) {
    const std::optional<Entry> entry = syscall_instruction(tid, process);
    if (!entry) {
      return std::nullopt;
    }
    std::array<std::uint8_t, 2> there{};
    if (read_code(tid, entry->address, there) == there.size() &&
        there == (entry->i386 ? int80_opcode : syscall_opcode)) {
      return entry;
    }
    entries_.erase(process);
  }
  return std::nullopt;
}

std::optional<user_regs_struct> RemoteCalls::step_over(pid_t tid, Thread &thread, std::uint64_t address,
                                                       std::uint64_t length)
{
  for (int step = 0; step < most_steps; ++step) {
    if (!traced(ptrace(PTRACE_SINGLESTEP, tid, nullptr, 0), "PTRACE_SINGLESTEP", tid)) {
      return std::nullopt;
    }
    WaitStatus status{};
    if (!wait_for(tid, status)) {
      return std::nullopt;
    }
    if (status.event() != 0 || status.syscall_stop()) {
      continue;  // the call, stopped by a filter on its way: it goes on
    }
    siginfo_t arrived{};
    if (status.stop_signal() != SIGTRAP && ptrace(PTRACE_GETSIGINFO, tid, nullptr, &arrived) == 0) {
      if (arrived.si_signo == SIGSYS &&
          (arrived.si_code == sys_seccomp_code || arrived.si_code == sys_user_dispatch_code)) {
        policies_[thread.process] = "its policy refused a call of vuart's with SIGSYS";  // dropped, never delivered
        not_made_ = policies_[thread.process];
        return std::nullopt;
      }
      thread.held_signal = arrived;  // a signal came meanwhile: it is delivered once the program goes on
    }
    const auto now = registers(tid);
    if (!now || now->rip == address + length) {
      return now;
    }
    if (now->rip != address) {
      return std::nullopt;  // something else ran
    }
  }
  return std::nullopt;
}

std::optional<long> RemoteCalls::system_call(pid_t tid, Thread &thread, const user_regs_struct &regs, Numbers number,
                                             std::span<const std::uint64_t> arguments)
{
  not_made_ = "its policy refuses it";
  if (!policy_allows_calls(tid, thread.process)) {
    return std::nullopt;
  }
  const std::optional<Entry> entry = checked_instruction(tid, thread.process);
  not_made_ = "it has no vDSO to make the call from";
  if (!entry || (entry->i386 && !number.i386)) {
    return std::nullopt;
  }
  const auto &opcode = entry->i386 ? int80_opcode : syscall_opcode;
  not_made_ = "the thread ended, or something else ran";
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
  const std::optional<user_regs_struct> after = step_over(tid, thread, entry->address, opcode.size());
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
    if (status.group_stop()) {
      continue;  // the stub finishes first
    }
    siginfo_t info{};
    if (status.event() != 0 || status.syscall_stop()) {
      foreign_code(thread.process);  // vuart's stubs make no system calls or events
      return std::nullopt;
    }
    if (!traced(ptrace(PTRACE_GETSIGINFO, tid, nullptr, &info), "PTRACE_GETSIGINFO", tid)) {
      continue;
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

#pragma once
// Runs code in a stopped thread of the program on its behalf, as debuggers do:
// a system call, or a stub of vuart's whose faults are the processor's own.
// The caller puts the thread's registers back afterwards.

#include <sys/types.h>
#include <sys/user.h>

#include <csignal>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "ptrace_calls.h"
#include "threads.h"

namespace vuart {

// Where a stub stopped: its closing instruction's SIGSEGV, or a fault on the way.
struct StubStop {
  siginfo_t signal;
  user_regs_struct regs;
};

class RemoteCalls {
 public:
  // Whether the thread runs 32-bit code (an i386 program): its system calls are
  // the i386 ABI's, made with int 0x80.
  static bool compat(const user_regs_struct &regs) { return regs.cs == user32_code_segment; }

  // Makes system call `number` of the thread's ABI with up to six arguments in
  // the thread, whose registers are `regs`, and puts them back; its result, or
  // nothing when the thread ended or vuart found no instruction to make it with.
  std::optional<long> system_call(pid_t tid, Thread &thread, const user_regs_struct &regs, long number,
                                  std::span<const std::uint64_t> arguments);

  // Runs the thread from `start` until the processor raises SIGSEGV or SIGBUS in
  // it. Other signals stay pending meanwhile, unless they are SIGSEGV or SIGBUS
  // themselves, which wait in `thread.held_signal`. The thread stays stopped
  // there, with the registers it stopped with; nothing when it ended.
  std::optional<StubStop> run_stub(pid_t tid, Thread &thread, const user_regs_struct &start);

  // Threads that ended while vuart ran code in them, for the caller to handle.
  std::vector<std::pair<pid_t, WaitStatus>> take_ended() { return std::exchange(ended_meanwhile_, {}); }

  // exec gives the process a new vDSO.
  void forget(pid_t process)
  {
    std::erase_if(syscall_addresses_, [process](const auto &known) { return known.first.first == process; });
  }

 private:
  static constexpr std::uint64_t user32_code_segment = 0x23;
  std::optional<std::uint64_t> syscall_instruction(pid_t tid, pid_t process, bool compat);
  bool wait_for(pid_t tid, WaitStatus &status);

  // Per process and ABI: a syscall or int 0x80 instruction in its vDSO.
  std::map<std::pair<pid_t, bool>, std::uint64_t> syscall_addresses_;
  std::vector<std::pair<pid_t, WaitStatus>> ended_meanwhile_;
};

}  // namespace vuart

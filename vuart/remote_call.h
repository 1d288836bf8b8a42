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
  // A system call's number in the 64-bit ABI, and in the i386 one where vuart makes it there.
  struct Numbers {
    long x86_64;
    std::optional<long> i386;
  };

  // Makes a system call with up to six arguments in the thread, whose registers
  // are `regs`, and puts them back: in the i386 ABI (int 0x80) in an i386
  // process, in the 64-bit one (syscall, the thread in 64-bit mode for it)
  // otherwise. Its result, or nothing when the thread ended, vuart found no
  // instruction to make it with, or it has no i386 number.
  std::optional<long> system_call(pid_t tid, Thread &thread, const user_regs_struct &regs, Numbers number,
                                  std::span<const std::uint64_t> arguments);

  // Runs the thread from `start` until the processor raises SIGSEGV, SIGBUS or
  // SIGTRAP in it. Other signals stay pending meanwhile, unless they are one of
  // those, sent by someone, which waits in `thread.held_signal`. The thread stays stopped
  // there, with the registers it stopped with; nothing when it ended.
  std::optional<StubStop> run_stub(pid_t tid, Thread &thread, const user_regs_struct &start);

  // Threads that ended while vuart ran code in them, for the caller to handle.
  std::vector<std::pair<pid_t, WaitStatus>> take_ended() { return std::exchange(ended_meanwhile_, {}); }

  // Whether system_call makes its calls in the i386 ABI there; nothing when it found no way to make them.
  std::optional<bool> makes_i386_calls(pid_t tid, pid_t process)
  {
    const auto entry = syscall_instruction(tid, process);
    return entry ? std::optional(entry->i386) : std::nullopt;
  }

  // exec gives the process a new vDSO.
  void forget(pid_t process) { syscall_addresses_.erase(process); }

 private:
  struct Entry {
    std::uint64_t address;  // of a syscall, or in an i386 process an int 0x80, instruction in the vDSO
    bool i386;              // the vDSO, like the process, is 32-bit
  };
  std::optional<Entry> syscall_instruction(pid_t tid, pid_t process);
  bool wait_for(pid_t tid, WaitStatus &status);

  std::map<pid_t, Entry> syscall_addresses_;  // per process
  std::vector<std::pair<pid_t, WaitStatus>> ended_meanwhile_;
};

}  // namespace vuart

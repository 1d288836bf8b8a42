#pragma once
// Runs code in a stopped thread of the program on its behalf, as debuggers do:
// a system call, or a stub of vuart's whose faults are the processor's own.
// The caller puts the thread's registers back afterwards.
//
// Everything that comes back is the program's to shape: another of its threads
// may have replaced the code, or a policy of its own may refuse or kill the
// call. So every wait is bounded by what the code can do, a system call or
// event that vuart's code cannot make means the program's code ran in its
// place, and nothing here trusts a register it did not check.

#include <sys/types.h>
#include <sys/user.h>

#include <csignal>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "process/ptrace_calls.h"
#include "process/threads.h"

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

  // `wake_fd` becomes readable when a thread stops or vuart gets a signal (SignalReader's).
  explicit RemoteCalls(int wake_fd);

  // Makes a system call with up to six arguments in the thread, whose registers
  // are `regs`, and puts them back: in the i386 ABI (int 0x80) in an i386
  // process, in the 64-bit one (syscall, the thread in 64-bit mode for it)
  // otherwise. Its result, or nothing when the thread ended, vuart found no
  // instruction to make it with, the call has no i386 number, or the process's
  // own seccomp filter or syscall user dispatch might refuse it.
  std::optional<long> system_call(pid_t tid, Thread &thread, const user_regs_struct &regs, Numbers number,
                                  std::span<const std::uint64_t> arguments);

  // Runs the thread from `start` until the processor raises SIGSEGV, SIGBUS or
  // SIGTRAP in it. Other signals stay pending meanwhile, unless they are one of
  // those, sent by someone, which waits in `thread.held_signal`. The thread stays stopped
  // there, with the registers it stopped with; nothing when it ended, or when
  // the run cannot go on (see run_cannot_go_on).
  std::optional<StubStop> run_stub(pid_t tid, Thread &thread, const user_regs_struct &start);

  // Why the run cannot go on, found since the last call: code of the program's
  // ran where vuart's should have (a stub that made a system call or ptrace
  // event, or came back where or with a count that vuart's code cannot give),
  // or a thread had not come back from vuart's code when vuart had a signal to act on.
  std::optional<std::string> run_cannot_go_on() { return std::exchange(ending_, std::nullopt); }
  [[nodiscard]] bool run_ending() const { return ending_.has_value(); }
  // The program's code ran in place of vuart's in the process.
  void foreign_code(pid_t process)
  {
    ending_ = "process " + std::to_string(process) + " ran code of its own in place of vuart's";
  }

  // Threads that ended while vuart ran code in them, for the caller to handle.
  std::vector<std::pair<pid_t, WaitStatus>> take_ended() { return std::exchange(ended_meanwhile_, {}); }

  // Whether system_call makes its calls in the i386 ABI there; nothing when it may make none.
  std::optional<bool> makes_i386_calls(pid_t tid, pid_t process);
  // Why it made no call there: the process's policy, or what stopped the last one.
  [[nodiscard]] std::string why_no_calls(pid_t process) const;

  // From now on the process's calls are made at `address` in vuart's own code page
  // there, where the program cannot take the instruction away, as it can the vDSO's.
  void use_own_code(pid_t process, std::uint64_t address);
  // exec gives the process new memory; a fork child has its creator's.
  void forget(pid_t process)
  {
    entries_.erase(process);
    policies_.erase(process);
  }
  void inherit(pid_t creator, pid_t child);
  // The process asked for a seccomp filter or syscall user dispatch: its policy is read again.
  void policy_may_change(pid_t process) { policies_.erase(process); }

 private:
  struct Entry {
    std::uint64_t address;  // of a syscall, or in an i386 process an int 0x80, instruction
    bool i386;              // the process, like its vDSO, is 32-bit
  };
  std::optional<Entry> syscall_instruction(pid_t tid, pid_t process);
  // The instruction, after checking that it is still there.
  std::optional<Entry> checked_instruction(pid_t tid, pid_t process);
  // Steps the thread, stopped at `address`, over the instruction there: its
  // registers after it; nothing when it ended, something else ran, or the call was refused.
  std::optional<user_regs_struct> step_over(pid_t tid, Thread &thread, std::uint64_t address, std::uint64_t length);
  [[nodiscard]] bool policy_allows_calls(pid_t tid, pid_t process);
  // Waits for the thread's next stop; false when it ended, or vuart was asked to end first.
  bool wait_for(pid_t tid, WaitStatus &status);

  int wake_fd_;
  unsigned inherited_filters_;             // seccomp filters vuart itself runs under, which the program inherits
  std::map<pid_t, Entry> entries_;         // per process
  std::map<pid_t, std::string> policies_;  // per process: why its policy refuses vuart's calls, or empty
  std::vector<std::pair<pid_t, WaitStatus>> ended_meanwhile_;
  std::optional<std::string> ending_;
  std::string not_made_;  // why the last system call was not made
};

}  // namespace vuart

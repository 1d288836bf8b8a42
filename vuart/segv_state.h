#pragma once
// Keeps SIGSEGV's disposition and mask as the program set them, although every
// port instruction vuart carries out reaches it as a SIGSEGV that the kernel
// raised, resetting an ignored or blocked SIGSEGV to its default on the way.

#include <sys/types.h>
#include <sys/user.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "ptrace_calls.h"
#include "threads.h"

namespace vuart {

class SegvState {
 public:
  // What the program starts with: SIGSEGV as vuart's caller left it, for exec keeps it ignored.
  static std::shared_ptr<KernelSigaction> inherited();
  // A new thread's or process's: shared with its creator's under CLONE_SIGHAND, a copy otherwise.
  static std::shared_ptr<KernelSigaction> for_new(const Thread &creator, unsigned long clone_flags);

  // At the entry of rt_sigaction(SIGSEGV, ...): the action it may install.
  static void at_sigaction_entry(pid_t tid, const user_regs_struct &regs, Thread &thread);
  // At its exit, with what it returned.
  static void at_sigaction_exit(Thread &thread, long result);
  // A SIGSEGV delivered to the program: a one-shot handler is gone.
  static void delivered(Thread &thread);
  // exec resets handlers and keeps ignored signals; the new image has a new vDSO.
  void exec(Thread &thread);

  // After vuart carried out an instruction the kernel saw as a fault: puts back
  // what the kernel changed, running rt_sigaction in the thread if need be.
  void restore(pid_t tid, Thread &thread, const user_regs_struct &regs);

  // Threads that ended while vuart ran a call in them, for the caller to handle.
  std::vector<std::pair<pid_t, WaitStatus>> take_ended() { return std::exchange(ended_meanwhile_, {}); }

 private:
  bool call_rt_sigaction(pid_t tid, Thread &thread, const user_regs_struct &regs, const KernelSigaction &action);
  std::optional<std::uint64_t> syscall_instruction(pid_t tid, pid_t process);

  std::map<pid_t, std::uint64_t> syscall_addresses_;  // per process: a syscall instruction in its vDSO
  std::vector<std::pair<pid_t, WaitStatus>> ended_meanwhile_;
};

}  // namespace vuart

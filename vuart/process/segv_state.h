#pragma once
// Keeps SIGSEGV's disposition and mask as the program set them, although every
// port instruction vuart carries out reaches it as a SIGSEGV that the kernel
// raised, resetting an ignored or blocked SIGSEGV to its default on the way.

#include <sys/types.h>
#include <sys/user.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "process/remote_call.h"
#include "process/threads.h"

namespace vuart {

class SegvState {
 public:
  explicit SegvState(RemoteCalls &remote) : remote_(remote) {}

  // What the program starts with: SIGSEGV as vuart's caller left it, for exec keeps it ignored.
  static std::shared_ptr<KernelSigaction> inherited();
  // A new thread's or process's: shared with its creator's under CLONE_SIGHAND, a copy otherwise.
  static std::shared_ptr<KernelSigaction> for_new(const Thread &creator, unsigned long clone_flags);

  // The calls that set SIGSEGV's action: rt_sigaction in either ABI, and the i386 ABI's older two.
  enum class Call { rt_sigaction, rt_sigaction_i386, sigaction_i386, signal_i386 };
  // At the entry of one of them for SIGSEGV, with its arguments: the action it may install.
  static void at_sigaction_entry(pid_t tid, Thread &thread, Call call, std::span<const std::uint64_t, 6> arguments);
  // At its exit, with what it returned.
  static void at_sigaction_exit(Thread &thread, long result);
  // A SIGSEGV delivered to the program: a one-shot handler is gone.
  static void delivered(Thread &thread);
  // exec resets handlers and keeps ignored signals.
  static void exec(Thread &thread);

  // After vuart carried out an instruction the kernel saw as a fault: puts back
  // what the kernel changed, running rt_sigaction in the thread if need be;
  // whether it ran it.
  bool restore(pid_t tid, Thread &thread, const user_regs_struct &regs);

 private:
  bool call_rt_sigaction(pid_t tid, Thread &thread, const user_regs_struct &regs, const KernelSigaction &action);

  RemoteCalls &remote_;
};

}  // namespace vuart

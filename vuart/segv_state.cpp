#include "segv_state.h"

#include <sched.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>

#include <algorithm>
#include <array>

#include "tracee_memory.h"

namespace vuart {

namespace {

constexpr std::uint64_t sig_ign = 1;
constexpr std::uint64_t sa_resethand = 0x80000000;
constexpr std::uint64_t sigsetsize = 8;

}  // namespace

std::shared_ptr<KernelSigaction> SegvState::inherited()
{
  struct sigaction caller {};
  sigaction(SIGSEGV, nullptr, &caller);
  auto segv = std::make_shared<KernelSigaction>();
  segv->handler = caller.sa_handler == SIG_IGN ? sig_ign : 0;
  return segv;
}

std::shared_ptr<KernelSigaction> SegvState::for_new(const Thread &creator, unsigned long clone_flags)
{
  return (clone_flags & CLONE_SIGHAND) != 0 ? creator.segv : std::make_shared<KernelSigaction>(*creator.segv);
}

void SegvState::at_sigaction_entry(pid_t tid, const user_regs_struct &regs, Thread &thread)
{
  KernelSigaction action;
  if (regs.rsi != 0 && regs.r10 == sigsetsize &&
      read_tracee(tid, regs.rsi, {reinterpret_cast<std::uint8_t *>(&action), sizeof action}, Direction::up) ==
          sizeof action) {
    thread.segv_change = action;
  }
}

void SegvState::at_sigaction_exit(Thread &thread, long result)
{
  const std::optional<KernelSigaction> change = std::exchange(thread.segv_change, std::nullopt);
  if (change && result == 0) {
    *thread.segv = *change;
  }
}

void SegvState::delivered(Thread &thread)
{
  KernelSigaction &segv = *thread.segv;
  if (segv.handler > sig_ign && (segv.flags & sa_resethand) != 0) {
    segv = KernelSigaction{};  // delivered once, then back to the default
  }
}

void SegvState::exec(Thread &thread)
{
  if (thread.segv && thread.segv->handler > sig_ign) {
    thread.segv = std::make_shared<KernelSigaction>();
  }
}

bool SegvState::restore(pid_t tid, Thread &thread, const user_regs_struct &regs)
{
  // Raising the fault, the kernel reset an ignored SIGSEGV to the default, and a
  // blocked one too, unblocking it. A default SIGSEGV ends the same either way.
  const KernelSigaction action = *thread.segv;
  if (action.handler == 0) {
    return false;
  }
  const bool handled = action.handler > sig_ign;
  if (handled && (signal_sets(tid).caught & signal_bit(SIGSEGV)) != 0) {
    return false;  // a handler, not blocked: nothing changed
  }
  if (!call_rt_sigaction(tid, thread, regs, action)) {
    return false;
  }
  if (handled) {
    std::uint64_t mask = 0;  // the handler was reset, so SIGSEGV was blocked
    if (traced(ptrace(PTRACE_GETSIGMASK, tid, sizeof mask, &mask), "PTRACE_GETSIGMASK", tid)) {
      mask |= 1ULL << (SIGSEGV - 1);
      traced(ptrace(PTRACE_SETSIGMASK, tid, sizeof mask, &mask), "PTRACE_SETSIGMASK", tid);
    }
  }
  return true;
}

bool SegvState::call_rt_sigaction(pid_t tid, Thread &thread, const user_regs_struct &regs,
                                  const KernelSigaction &action)
{
  // The new action goes below the stack's red zone, where the program keeps nothing.
  const std::uint64_t scratch = (regs.rsp - 128 - sizeof action) & ~std::uint64_t{15};
  if (write_tracee(tid, scratch, {reinterpret_cast<const std::uint8_t *>(&action), sizeof action}, Direction::up) !=
      sizeof action) {
    return false;
  }
  const std::array<std::uint64_t, 4> arguments = {SIGSEGV, scratch, 0, sigsetsize};
  // An i386 program's SIGSEGV disposition is not followed: its changes are not stopped for.
  return remote_.system_call(tid, thread, regs, {SYS_rt_sigaction, std::nullopt}, arguments).has_value();
}

}  // namespace vuart

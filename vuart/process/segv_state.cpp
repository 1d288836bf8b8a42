#include "process/segv_state.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>
#include <string_view>

#include "launch/seccomp_filter.h"
#include "launch/signals.h"
#include "process/string_memory.h"

namespace vuart {

namespace {

constexpr std::uint64_t sig_ign = 1;
constexpr std::uint64_t sa_resethand = 0x80000000;
constexpr std::uint64_t sa_nodefer = 0x40000000;
constexpr std::uint64_t sigsetsize = 8;

// The i386 ABI's struct sigaction for rt_sigaction, and the older one for sigaction.
struct I386Sigaction {
  std::uint32_t handler, flags, restorer, mask_low, mask_high;
};
struct I386OldSigaction {
  std::uint32_t handler, mask, flags, restorer;
};

// Whether the thread's process has a handler for SIGSEGV now: the sigcatch field
// of /proc/TID/stat (the 34th), which a file kept open gives in a few
// microseconds, where parsing the status file afresh takes some 30.
bool catches_segv(pid_t tid, Thread &thread)
{
  if (!thread.stat_file.valid()) {
    thread.stat_file = UniqueFd(open(("/proc/" + std::to_string(tid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
  }
  std::array<char, 1024> text{};
  const ssize_t got = pread(thread.stat_file.get(), text.data(), text.size() - 1, 0);
  const std::string_view stat(text.data(), got > 0 ? static_cast<std::size_t>(got) : 0);
  const std::size_t name_end = stat.rfind(')');
  if (name_end == std::string_view::npos) {
    return (signal_sets(tid).caught & signal_bit(SIGSEGV)) != 0;  // the status file says it too
  }
  // Fields are single spaces apart after the name, which ends the second: `at` is the space before the third.
  constexpr int sigcatch_field = 34;
  constexpr int state_field = 3;
  std::size_t at = name_end + 1;
  for (int field = state_field; field < sigcatch_field && at != std::string_view::npos; ++field) {
    at = stat.find(' ', at + 1);
  }
  return at != std::string_view::npos && (std::strtoull(stat.data() + at + 1, nullptr, 10) & signal_bit(SIGSEGV)) != 0;
}

template <typename Struct> bool read_struct(pid_t tid, std::uint64_t address, Struct &value)
{
  return address != 0 && read_tracee(tid, address, {reinterpret_cast<std::uint8_t *>(&value), sizeof value},
                                     Direction::up) == sizeof value;
}

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

void SegvState::at_sigaction_entry(pid_t tid, Thread &thread, Call call, std::span<const std::uint64_t, 6> arguments)
{
  const std::uint64_t given = arguments[1];
  switch (call) {
  case Call::rt_sigaction:
    if (KernelSigaction action; arguments[3] == sigsetsize && read_struct(tid, given, action)) {
      thread.segv_change = action;
    }
    break;
  case Call::rt_sigaction_i386:
    if (I386Sigaction action{}; arguments[3] == sigsetsize && read_struct(tid, given, action)) {
      thread.segv_change = KernelSigaction{action.handler, action.flags, action.restorer,
                                           action.mask_low | std::uint64_t{action.mask_high} << 32U};
    }
    break;
  case Call::sigaction_i386:
    if (I386OldSigaction action{}; read_struct(tid, given, action)) {
      thread.segv_change = KernelSigaction{action.handler, action.flags, action.restorer, action.mask};
    }
    break;
  case Call::signal_i386:  // a handler that runs once, with nothing blocked
    thread.segv_change = KernelSigaction{given, sa_resethand | sa_nodefer, 0, 0};
    break;
  }
}

void SegvState::at_sigaction_exit(Thread &thread, long result)
{
  const std::optional<KernelSigaction> change = std::exchange(thread.segv_change, std::nullopt);
  constexpr long max_errno = 4095;  // signal() returns the old handler, the others 0
  if (change && (result >= 0 || result < -max_errno)) {
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
  if (handled && catches_segv(tid, thread)) {
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
  // The new action, in the layout of the ABI the call is made in, goes below the
  // stack's red zone, where the program keeps nothing.
  const std::optional<bool> i386 = remote_.makes_i386_calls(tid, thread.process);
  if (!i386) {
    return false;
  }
  const I386Sigaction narrow = {static_cast<std::uint32_t>(action.handler), static_cast<std::uint32_t>(action.flags),
                                static_cast<std::uint32_t>(action.restorer), static_cast<std::uint32_t>(action.mask),
                                static_cast<std::uint32_t>(action.mask >> 32U)};
  const auto bytes = *i386 ? std::span(reinterpret_cast<const std::uint8_t *>(&narrow), sizeof narrow)
                           : std::span(reinterpret_cast<const std::uint8_t *>(&action), sizeof action);
  const std::uint64_t scratch = (regs.rsp - 128 - bytes.size()) & ~std::uint64_t{15};
  if (write_tracee(tid, scratch, bytes, Direction::up) != bytes.size()) {
    return false;
  }
  const std::array<std::uint64_t, 4> arguments = {SIGSEGV, scratch, 0, sigsetsize};
  return remote_.system_call(tid, thread, regs, {SYS_rt_sigaction, i386_rt_sigaction}, arguments).has_value();
}

}  // namespace vuart

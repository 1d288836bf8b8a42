#pragma once
// The ptrace requests vuart makes of a traced thread, and the wait statuses its stops report.

#include <sys/types.h>
#include <sys/user.h>
#include <sys/wait.h>

#include <array>
#include <csignal>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vuart {

// A waitpid status, as ptrace reports stops.
struct WaitStatus {
  int raw;
  [[nodiscard]] bool ended() const { return WIFEXITED(raw) || WIFSIGNALED(raw); }
  [[nodiscard]] bool stopped() const { return WIFSTOPPED(raw); }
  [[nodiscard]] int stop_signal() const { return WSTOPSIG(raw); }
  [[nodiscard]] int event() const { return (raw >> 16) & 0xFF; }  // PTRACE_EVENT_*, or 0
  [[nodiscard]] bool syscall_stop() const { return stopped() && WSTOPSIG(raw) == (SIGTRAP | 0x80); }
  [[nodiscard]] bool group_stop() const;  // a stop signal took effect (seen through PTRACE_SEIZE)
};

bool is_stop_signal(int signal);

// A ptrace request's result on a thread that may have died meanwhile: its end is
// reported by waitpid, so ESRCH is no error here; anything else is reported.
bool traced(long result, std::string_view what, pid_t tid);

std::optional<user_regs_struct> registers(pid_t tid);
void set_registers(pid_t tid, const user_regs_struct &regs);
void resume(pid_t tid, int signal = 0, bool to_syscall_exit = false);
// In orig_rax at a syscall's entry, skips the call: the thread returns with RAX as vuart set it.
constexpr unsigned long long syscall_skipped = ~0ULL;
// Skips the call the thread stopped at its entry, which returns -error (or 0), and resumes the thread.
void skip_call(pid_t tid, user_regs_struct &regs, int error);
// The user code segments Linux gives 64-bit and 32-bit code.
constexpr std::uint64_t code64_selector = 0x33;
constexpr std::uint64_t code32_selector = 0x23;
// syscall and int 0x80 are two bytes long, and so is sysenter's way back in the vDSO: a call is made
// again by moving back this far, with its number in RAX, as the kernel restarts one.
constexpr unsigned long long system_call_length = 2;
// A system call's six argument registers, in its ABI's order: the i386 one (int 0x80) or the 64-bit one.
std::array<unsigned long long *, 6> argument_registers(user_regs_struct &regs, bool i386);
// Resumes the thread with the signal that arrived while vuart ran a call in it, if any.
void resume_holding(pid_t tid, std::optional<siginfo_t> &held);

// PTRACE_GETEVENTMSG, which cannot fail on a thread in the event's stop but for its death.
std::optional<unsigned long> event_message(pid_t tid);

}  // namespace vuart

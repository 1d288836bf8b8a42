#include "process/ptrace_calls.h"

#include <sys/ptrace.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "files/messages.h"

namespace vuart {

bool is_stop_signal(int signal)
{
  return signal == SIGSTOP || signal == SIGTSTP || signal == SIGTTIN || signal == SIGTTOU;
}

bool WaitStatus::group_stop() const
{
  return stopped() && event() == PTRACE_EVENT_STOP && is_stop_signal(stop_signal());
}

bool traced(long result, std::string_view what, pid_t tid)
{
  if (result != 0 && errno != ESRCH) {
    report_errno(std::string(what) + " of thread " + std::to_string(tid));
  }
  return result == 0;
}

std::optional<user_regs_struct> registers(pid_t tid)
{
  user_regs_struct regs{};
  if (!traced(ptrace(PTRACE_GETREGS, tid, nullptr, &regs), "PTRACE_GETREGS", tid)) {
    return std::nullopt;
  }
  return regs;
}

void set_registers(pid_t tid, const user_regs_struct &regs)
{
  traced(ptrace(PTRACE_SETREGS, tid, nullptr, &regs), "PTRACE_SETREGS", tid);
}

void resume(pid_t tid, int signal, bool to_syscall_exit)
{
  traced(ptrace(to_syscall_exit ? PTRACE_SYSCALL : PTRACE_CONT, tid, nullptr, signal), "resume", tid);
}

std::array<unsigned long long *, 6> argument_registers(user_regs_struct &regs, bool i386)
{
  return i386 ? std::array{&regs.rbx, &regs.rcx, &regs.rdx, &regs.rsi, &regs.rdi, &regs.rbp}
              : std::array{&regs.rdi, &regs.rsi, &regs.rdx, &regs.r10, &regs.r8, &regs.r9};
}

void resume_holding(pid_t tid, std::optional<siginfo_t> &held)
{
  if (!held) {
    resume(tid);
    return;
  }
  const siginfo_t signal = *std::exchange(held, std::nullopt);
  traced(ptrace(PTRACE_SETSIGINFO, tid, nullptr, &signal), "PTRACE_SETSIGINFO", tid);
  resume(tid, signal.si_signo);
}

std::optional<unsigned long> event_message(pid_t tid)
{
  unsigned long message = 0;
  if (!traced(ptrace(PTRACE_GETEVENTMSG, tid, nullptr, &message), "PTRACE_GETEVENTMSG", tid)) {
    return std::nullopt;
  }
  return message;
}

void skip_call(pid_t tid, user_regs_struct &regs, int error)
{
  regs.orig_rax = syscall_skipped;
  regs.rax = static_cast<unsigned long long>(-static_cast<long>(error));
  set_registers(tid, regs);
  resume(tid);
}

}  // namespace vuart

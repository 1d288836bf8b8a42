#include "process/syscalls.h"

#include <linux/audit.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "launch/seccomp_filter.h"
#include "process/ptrace_calls.h"
#include "process/string_memory.h"
#include "trace/event_schema.h"

namespace vuart {

namespace {

// The thread of the process that its PID namespace numbers `own_number`.
std::optional<pid_t> thread_numbered(pid_t process, pid_t own_number)
{
  std::error_code error;
  for (const auto &task : std::filesystem::directory_iterator("/proc/" + std::to_string(process) + "/task", error)) {
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("NSpid:") && line.ends_with("\t" + std::to_string(own_number))) {
        return std::stoi(task.path().filename());
      }
    }
  }
  return std::nullopt;
}

// ioperm or iopl, in any ABI: x32's are the 64-bit ones with the x32 bit.
std::optional<Syscalls::PortRequest> port_request(long number, bool i386)
{
  const long x32 = i386 ? 0 : x32_call;
  if (number == (i386 ? i386_ioperm : SYS_ioperm) || number == (x32 | SYS_ioperm)) {
    return Syscalls::PortRequest::ioperm;
  }
  if (number == (i386 ? i386_iopl : SYS_iopl) || number == (x32 | SYS_iopl)) {
    return Syscalls::PortRequest::iopl;
  }
  return std::nullopt;
}

std::optional<SegvState::Call> sigaction_call(long number, bool i386)
{
  using Call = SegvState::Call;
  if (!i386) {
    return number == SYS_rt_sigaction ? std::optional(Call::rt_sigaction) : std::nullopt;
  }
  switch (number) {
  case i386_rt_sigaction: return Call::rt_sigaction_i386;
  case i386_sigaction: return Call::sigaction_i386;
  case i386_signal: return Call::signal_i386;
  default: return std::nullopt;
  }
}

// seccomp, or prctl with an option the filter stops it for: a policy on the thread's system calls.
bool sets_policy(long number, bool i386)
{
  const long x32 = i386 ? 0 : x32_call;
  return number == (i386 ? i386_seccomp : SYS_seccomp) || number == (x32 | SYS_seccomp) ||
         number == (i386 ? i386_prctl : SYS_prctl) || number == (x32 | SYS_prctl);
}

}  // namespace

void Syscalls::emulate_port_request(pid_t tid, Thread &thread, user_regs_struct &regs, PortRequest request,
                                    const std::array<std::uint64_t, 6> &arguments)
{
  long result;
  if (request == PortRequest::ioperm) {
    const auto turn_on = static_cast<int>(arguments[2]);
    result = options_.refuse ? -*options_.refuse : thread.permissions.ioperm(arguments[0], arguments[1], turn_on);
    trace_.write(trace_events::ioperm(tid, arguments[0], arguments[1], turn_on, result));
  } else {
    const auto level = static_cast<unsigned>(arguments[0]);  // iopl takes an unsigned int
    result = options_.refuse ? -*options_.refuse : thread.permissions.iopl(level);
    trace_.write(trace_events::iopl(tid, level, result));
  }
  skip_call(tid, regs, static_cast<int>(-result));
}

void Syscalls::at_entry(pid_t tid, Thread &thread)
{
  const std::optional<unsigned long> marker = event_message(tid);
  auto regs = registers(tid);
  if (!marker || !regs) {
    return;
  }
  const auto number = static_cast<long>(regs->orig_rax);
  const bool ours = *marker == seccomp_marker;
  __ptrace_syscall_info call{};
  if (ours && ptrace(PTRACE_GET_SYSCALL_INFO, tid, sizeof call, &call) > 0 && call.op == PTRACE_SYSCALL_INFO_SECCOMP) {
    // The i386 ABI's requests, through int 0x80, are the same calls with numbers of their own.
    const bool i386 = call.arch == AUDIT_ARCH_I386;
    const auto called = static_cast<long>(call.seccomp.nr);
    std::array<std::uint64_t, 6> arguments{};
    std::copy(std::begin(call.seccomp.args), std::end(call.seccomp.args), arguments.begin());
    if (const auto request = port_request(called, i386)) {
      emulate_port_request(tid, thread, *regs, *request, arguments);
      return;
    }
    if (const auto segv_call = sigaction_call(called, i386); segv_call && arguments[0] == SIGSEGV) {
      SegvState::at_sigaction_entry(tid, thread, *segv_call, arguments);
      resume(tid, 0, true);
      return;
    }
    if (const auto output = output_call(i386, called)) {
      at_output_call(tid, thread, *output, arguments, *regs);
      return;
    }
    if (at_output_route(tid, called, i386, arguments, *regs)) {
      return;
    }
    if (sets_policy(called, i386)) {
      remote_.policy_may_change(thread.process);  // and again once it is made
      thread.setting_policy = true;
      resume(tid, 0, true);
      return;
    }
  }
  if (ours && (number == SYS_rt_sigqueueinfo || number == SYS_rt_tgsigqueueinfo)) {
    const bool to_thread = number == SYS_rt_tgsigqueueinfo;
    siginfo_t queued{};
    if (read_tracee(tid, to_thread ? regs->r10 : regs->rdx, {reinterpret_cast<std::uint8_t *>(&queued), sizeof queued},
                    Direction::up) == sizeof queued &&
        queued.si_code == SI_KERNEL) {
      // The kernel lets a process queue SI_KERNEL only to itself, and names the
      // thread as the program's PID namespace numbers it.
      thread.queuing_segv =
          to_thread ? thread_numbered(thread.process, static_cast<pid_t>(regs->rsi)) : std::optional(thread.process);
    }
    resume(tid, 0, true);
    return;
  }
  // A stop that the program's own filter asked for: with no tracer of its own
  // the kernel fails such a call with ENOSYS, and so does vuart.
  skip_call(tid, *regs, ENOSYS);
}

bool Syscalls::at_exit(pid_t tid, Thread &thread, bool trace_busy)
{
  const auto regs = registers(tid);
  if (!regs) {
    return true;
  }
  const auto result = static_cast<long>(regs->rax);
  SegvState::at_sigaction_exit(thread, result);
  if (std::exchange(thread.setting_policy, false)) {
    remote_.policy_may_change(thread.process);
  }
  if (const auto target = std::exchange(thread.queuing_segv, std::nullopt); target && result == 0) {
    ++queued_segv_[*target];
  }
  if (thread.write && thread.write->mapping_snapshots) {
    auto restart = *regs;
    // Other threads' areas, mapped meanwhile, may have made room or reached the limit.
    if (!snapshots_.has_free_slot(thread.process) && snapshots_.can_map(thread.process)) {
      snapshots_.map_area(tid, thread, restart, remote_);
    }
    restart.rip -= system_call_length;  // made again, now with snapshot memory or without
    restart.rax = static_cast<unsigned long long>(thread.write->call.number);
    set_registers(tid, restart);
    thread.write.reset();
    resume_holding(tid, thread.held_signal);
    return true;
  }
  if (thread.write && thread.write->snapshot) {
    auto returning = *regs;
    piece_done(tid, thread, returning);
  } else if (thread.write) {
    thread.write->written = result > 0 ? static_cast<std::uint64_t>(result) : 0;
  }
  if (thread.write && thread.write->written > 0 && (trace_busy || !record_write(tid, thread))) {
    return false;
  }
  thread.write.reset();
  resume(tid);
  return true;
}

bool Syscalls::take_queued_segv(pid_t tid, pid_t process)
{
  auto queued = queued_segv_.find(tid);
  if (queued == queued_segv_.end()) {
    queued = queued_segv_.find(process);
  }
  if (queued == queued_segv_.end()) {
    return false;
  }
  if (--queued->second == 0) {
    queued_segv_.erase(queued);
  }
  return true;
}

}  // namespace vuart

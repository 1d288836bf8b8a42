// What each stop of a traced thread means: its end, a ptrace event, a signal,
// a new thread or process, an exec.
#include "process/tracer.h"

#include <sys/ptrace.h>

#include <array>
#include <csignal>
#include <cstdint>
#include <string>

#include "files/messages.h"
#include "process/peek_poke.h"
#include "process/ptrace_calls.h"

namespace vuart {

void Tracer::handle_stop(pid_t tid, WaitStatus status)
{
  if (status.ended()) {
    if (const auto ended = threads_.find(tid); ended != threads_.end()) {
      syscalls_.thread_ended(ended->second);
      if (ended->second.process == tid) {
        remote_.forget(tid);
        port_io_.forget(tid);
        syscalls_.forget(tid);
      }
    }
    threads_.erase(tid);
    std::erase(waiting_, tid);
    if (tid == main_pid_) {
      finish(status.raw);
    }
    return;
  }
  if (!status.stopped()) {
    return;
  }
  if (status.group_stop()) {
    // A stop signal took effect: stay stopped, and hear of SIGCONT.
    traced(ptrace(PTRACE_LISTEN, tid, nullptr, nullptr), "PTRACE_LISTEN", tid);
    return;
  }
  if (status.event() == PTRACE_EVENT_STOP) {
    // A new tracee's first stop, or the end of a group-stop.
    if (!threads_.contains(tid)) {
      early_starts_.insert(tid);  // held until its parent's event says what it inherits
      return;
    }
    resume(tid);
    return;
  }
  if (status.stop_signal() == SIGTRAP && status.event() != 0) {
    handle_event(tid, status);
    return;
  }
  const auto thread = threads_.find(tid);
  if (status.syscall_stop()) {
    if (thread == threads_.end()) {
      resume(tid);
    } else if (!syscalls_.at_exit(tid, thread->second, !waiting_.empty())) {
      wait_in_line(tid, Waiting::write_record);
    }
    return;
  }
  handle_signal_stop(tid, status.stop_signal());
}

void Tracer::handle_event(pid_t tid, WaitStatus status)
{
  switch (status.event()) {
  case PTRACE_EVENT_SECCOMP: {
    Thread &thread = threads_[tid];
    syscalls_.at_entry(tid, thread);
    if (thread.write && thread.write->waits_for_slot) {
      wait_in_line(tid, Waiting::snapshot_slot);
    }
    return;
  }
  case PTRACE_EVENT_CLONE:
  case PTRACE_EVENT_FORK:
  case PTRACE_EVENT_VFORK: {
    const std::optional<unsigned long> child = event_message(tid);
    unsigned long flags = status.event() == PTRACE_EVENT_VFORK ? CLONE_VM | CLONE_VFORK : 0;
    if (auto regs = registers(tid); regs && status.event() == PTRACE_EVENT_CLONE) {
      // clone's flags, its first argument in the ABI of the code that called it: clone3 never gets this far.
      flags = *argument_registers(*regs, regs->cs == code32_selector)[0];
    }
    if (child) {
      handle_new_tracee(tid, static_cast<pid_t>(*child), flags);
    }
    resume(tid);
    return;
  }
  case PTRACE_EVENT_EXEC: handle_exec(tid); return;
  default: resume(tid); return;
  }
}

void Tracer::handle_signal_stop(pid_t tid, int signal)
{
  // A signal on its way to the program.
  const auto thread = threads_.find(tid);
  siginfo_t info{};
  if (thread == threads_.end() || !traced(ptrace(PTRACE_GETSIGINFO, tid, nullptr, &info), "PTRACE_GETSIGINFO", tid)) {
    resume(tid, signal);
    return;
  }
  program_signals_.note(info);
  if (signal == SIGSEGV) {
    if (info.si_code == SI_KERNEL && !syscalls_.take_queued_segv(tid, thread->second.process)) {
      // Maybe a port instruction. Anything else (a HLT, a wild pointer) is no
      // output's business, and never waits behind those that wait for room.
      if (!waiting_.empty() && !PortIo::needs_outputs(tid, thread->second)) {
        port_io_.carry_out(tid, thread->second);
        return;
      }
      wait_in_line(tid, Waiting::port_instruction);
      return;
    }
    SegvState::delivered(thread->second);
  }
  resume(tid, signal);
}

void Tracer::handle_new_tracee(pid_t parent, pid_t child, unsigned long clone_flags)
{
  const Thread &creator = threads_[parent];
  Thread inherited;
  inherited.process = (clone_flags & CLONE_THREAD) != 0 ? creator.process : child;
  if (inherited.process == child) {
    remote_.inherit(creator.process, child);
    port_io_.inherit(creator.process, child);
    if ((clone_flags & CLONE_VM) != 0) {
      syscalls_.share_snapshots(creator.process, child);  // the same memory: the same snapshot areas
    }
  }
  inherited.permissions = creator.permissions;  // threads and fork children keep the I/O bitmap
  inherited.segv = SegvState::for_new(creator, clone_flags);
  threads_[child] = std::move(inherited);
  if (early_starts_.erase(child) != 0) {
    resume(child);
  }
}

void Tracer::handle_exec(pid_t tid)
{
  // The kernel hides the memory of a program that its user may run but not
  // read (mode 0711, say) even from a tracer: vuart could not decode its port
  // instructions. Before the program's first instruction, it is not run.
  std::array<std::uint8_t, 1> code{};
  const auto regs = registers(tid);
  if (regs && read_code(tid, regs->rip, code) == 0) {
    if (!exec_seen_) {
      report(shell_quoted(options_.command[0]) +
             ": the kernel hides its memory from vuart (its user may run it but not read it), so vuart "
             "cannot carry out its port instructions and does not run it");
      hidden_ = true;
      kill(tid, SIGKILL);
      return;
    }
    report("process " + std::to_string(tid) +
           " runs a program whose memory the kernel hides from vuart (its user may run it but not read it): "
           "its port instructions fault as without vuart");
  }
  exec_seen_ = true;
  const auto former = static_cast<pid_t>(event_message(tid).value_or(static_cast<unsigned long>(tid)));
  if (former != tid && threads_.contains(former)) {
    // Another thread called execve: it takes over the thread group's id, and its
    // permissions go with it.
    threads_[tid] = std::move(threads_[former]);
    threads_.erase(former);
    std::erase(waiting_, former);
  }
  SegvState::exec(threads_[tid]);
  remote_.forget(threads_[tid].process);
  port_io_.forget(threads_[tid].process);
  syscalls_.forget(threads_[tid].process);
  resume(tid);
}

}  // namespace vuart

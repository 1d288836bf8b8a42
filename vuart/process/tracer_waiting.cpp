// Threads that stay stopped until vuart's outputs have room for what they send,
// and the signals that release them meanwhile.
#include "process/tracer.h"

#include <sys/ptrace.h>

#include <algorithm>

namespace vuart {

namespace {

// Whether a signal that the thread does not block waits for it.
bool signal_pending(pid_t tid)
{
  const SignalSets sets = signal_sets(tid);
  return (sets.pending & ~sets.blocked) != 0;
}

}  // namespace

void Tracer::wait_in_line(pid_t tid, Waiting why)
{
  threads_[tid].waiting = why;
  waiting_.push_back(tid);
  serve_waiting();
}

void Tracer::serve_waiting()
{
  for (std::size_t at = 0; at < waiting_.size();) {
    const pid_t tid = waiting_[at];
    const auto thread = threads_.find(tid);
    if (thread != threads_.end() && thread->second.waiting != Waiting::nothing && !proceed(tid)) {
      if (thread->second.waiting == Waiting::snapshot_slot) {
        ++at;  // it has sent nothing yet, and waits for the kernel, not for vuart's outputs: others go by
        continue;
      }
      return;  // still no room: those behind it wait too, in order
    }
    if (const auto served = std::find(waiting_.begin(), waiting_.end(), tid); served != waiting_.end()) {
      waiting_.erase(served);
    }
  }
}

bool Tracer::proceed(pid_t tid)
{
  Thread &thread = threads_.at(tid);
  switch (thread.waiting) {
  case Waiting::port_instruction: {
    const PortIo::Step step = port_io_.carry_out(tid, thread);
    check_outputs(tid);
    if (step == PortIo::Step::waits_for_room) {
      return false;
    }
    if (step == PortIo::Step::refused) {
      refused_ = true;
      for (const auto &[other, state] : threads_) {
        kill(other, SIGKILL);
      }
      break;
    }
    if (step == PortIo::Step::done) {
      break;
    }
    thread.waiting = Waiting::resume_after_flush;
    [[fallthrough]];
  }
  case Waiting::resume_after_flush:
    if (output_.com1_ahead_of_program()) {
      return false;
    }
    resume_holding(tid, thread.held_signal);
    break;
  case Waiting::snapshot_slot:
    if (!syscalls_.write_when_slot_free(tid, thread, false)) {
      return false;
    }
    break;
  case Waiting::write_record:
    if (!syscalls_.record_write(tid, thread)) {
      return false;
    }
    check_outputs(tid);
    resume(tid);
    break;
  case Waiting::nothing: break;
  }
  thread.waiting = Waiting::nothing;
  return true;
}

void Tracer::release_signalled()
{
  // A thread that waits for room must not keep a signal from acting: it goes on
  // and takes the signal, and comes back to its instruction afterwards, as the
  // processor does when an interrupt comes in the middle of a rep.
  for (auto waiter = waiting_.begin(); waiter != waiting_.end();) {
    const auto thread = threads_.find(*waiter);
    if (thread == threads_.end() || thread->second.waiting == Waiting::write_record || !signal_pending(*waiter)) {
      ++waiter;
      continue;
    }
    if (thread->second.waiting == Waiting::port_instruction) {
      if (const auto regs = registers(*waiter)) {
        segv_state_.restore(*waiter, thread->second, *regs);
      }
    }
    const bool slot_waiter = thread->second.waiting == Waiting::snapshot_slot;
    thread->second.waiting = Waiting::nothing;
    if (slot_waiter) {
      syscalls_.write_when_slot_free(*waiter, thread->second, true);
    } else {
      resume_holding(*waiter, thread->second.held_signal);
    }
    waiter = waiting_.erase(waiter);
  }
  for (const auto &[ended, how] : remote_.take_ended()) {
    handle_stop(ended, how);
  }
}

void Tracer::flush_outputs()
{
  output_.flush();
  check_outputs(main_pid_);
}

void Tracer::check_outputs(pid_t tid)
{
  switch (output_.trouble()) {
  case ProgramOutput::Trouble::none: return;
  case ProgramOutput::Trouble::lost:
    for (const auto &[thread, state] : threads_) {
      kill(thread, SIGKILL);  // nowhere to put what the program sends: the run ends
    }
    return;
  case ProgramOutput::Trouble::reader_gone: {
    const auto thread = threads_.find(tid);
    syscall(SYS_tgkill, thread != threads_.end() ? thread->second.process : main_pid_, tid, SIGPIPE);
    return;
  }
  }
}

}  // namespace vuart

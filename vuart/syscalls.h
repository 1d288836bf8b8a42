#pragma once
// The system calls vuart stops: ioperm and iopl, which it emulates per thread;
// writes to standard output and error, which the trace records; changes of
// SIGSEGV's disposition, which it follows; and stops the program's own seccomp
// filter asked for, which fail as without a tracer.

#include <sys/types.h>

#include <array>
#include <cstdint>

#include "json.h"
#include "options.h"
#include "segv_state.h"
#include "threads.h"

namespace vuart {

class Syscalls {
 public:
  Syscalls(const Options &options, TraceLog &trace) : options_(options), trace_(trace) {}

  // At a seccomp stop; resumes the thread.
  void at_entry(pid_t tid, Thread &thread);
  // At a syscall-exit stop. Returns true once the thread is resumed, false when
  // what it wrote must wait for room in the trace: record_write() goes on with it.
  // `trace_busy`: others wait for the trace already, and go first.
  bool at_exit(pid_t tid, Thread &thread, bool trace_busy);
  // Records as much of the thread's write as the trace has room for; true once all of it is recorded.
  bool record_write(pid_t tid, Thread &thread);

 private:
  // ioperm(from, num, turn_on) or iopl(level), whichever ABI the program called it through.
  enum class PortRequest { ioperm, iopl };
  void emulate_port_request(pid_t tid, Thread &thread, user_regs_struct &regs, PortRequest request,
                            const std::array<std::uint64_t, 6> &arguments);

  const Options &options_;
  TraceLog &trace_;
};

}  // namespace vuart

#pragma once
// The system calls vuart stops: ioperm and iopl, which it emulates per thread;
// writes to standard output and error, which the trace records; changes of
// SIGSEGV's disposition, which it follows; and stops the program's own seccomp
// filter asked for, which fail as without a tracer.

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <map>
#include <optional>

#include "launch/options.h"
#include "process/peek_poke.h"
#include "process/remote_call.h"
#include "process/segv_state.h"
#include "process/threads.h"
#include "process/write_snapshots.h"
#include "trace/trace_log.h"

namespace vuart {

// A file, as stat tells it apart.
struct FileIdentity {
  dev_t device;
  ino_t inode;
  bool operator==(const FileIdentity &) const = default;
};
std::optional<FileIdentity> identity_of(int fd);

// The iovecs of a vectored output call, as address and length, in the layout of its ABI.
constexpr std::size_t max_output_iovecs = 1024;  // IOV_MAX
Extents read_iovecs(pid_t tid, const PendingWrite &write);

class Syscalls {
 public:
  Syscalls(const Options &options, TraceLog &trace, RemoteCalls &remote)
      : options_(options), trace_(trace), remote_(remote)
  {
  }

  // The files the program starts with as standard output and error: the trace
  // records what reaches them, through any descriptor.
  void set_standard_streams(std::optional<FileIdentity> output, std::optional<FileIdentity> error)
  {
    standard_output_ = output;
    standard_error_ = error;
  }

  // At a seccomp stop; resumes the thread, unless its write waits for a snapshot slot (write.waits_for_slot).
  void at_entry(pid_t tid, Thread &thread);
  // Makes the write that waits for a snapshot slot, if one is free, and resumes
  // the thread; false while none is. `signal_waits`: a signal must reach the
  // thread now, so the write goes ahead all the same, as an interrupted call
  // would: what its earlier pieces wrote, or read as it returns.
  bool write_when_slot_free(pid_t tid, Thread &thread, bool signal_waits);
  // At a syscall-exit stop. Returns true once the thread is resumed, false when
  // what it wrote must wait for room in the trace: record_write() goes on with it.
  // `trace_busy`: others wait for the trace already, and go first.
  bool at_exit(pid_t tid, Thread &thread, bool trace_busy);
  // Records as much of the thread's write as the trace has room for; true once all of it is recorded.
  bool record_write(pid_t tid, Thread &thread);
  // The thread ended, or its process exec'd or ended.
  void thread_ended(Thread &thread);
  void forget(pid_t process) { snapshots_.forget(process); }
  // A new process that shares its creator's memory (vfork) writes from the creator's snapshot areas.
  void share_snapshots(pid_t creator, pid_t child) { snapshots_.share(creator, child); }
  // Whether a SIGSEGV from the kernel that reached the thread is one its program
  // queued itself (only a process may send itself such a signal): it is no port fault.
  bool take_queued_segv(pid_t tid, pid_t process);

  // ioperm(from, num, turn_on) or iopl(level), whichever ABI the program called it through.
  enum class PortRequest { ioperm, iopl };

 private:
  void emulate_port_request(pid_t tid, Thread &thread, user_regs_struct &regs, PortRequest request,
                            const std::array<std::uint64_t, 6> &arguments);

  // 1 or 2 when the thread's descriptor writes the program's standard output or
  // error (its own number decides where it could be either), else nothing.
  [[nodiscard]] std::optional<int> standard_stream(pid_t tid, int fd) const;
  // At a stop for a route to a file that the output calls do not cover: a
  // shared mapping or a reflink of standard output or error is refused (EACCES,
  // EOPNOTSUPP), and a socketcall that sends is made as its direct call, which
  // stops again. False when `called` is none of them.
  bool at_output_route(pid_t tid, long called, bool i386, const std::array<std::uint64_t, 6> &arguments,
                       user_regs_struct &regs);
  // At the entry of an output call: follows it to its exit when it writes a standard stream.
  void at_output_call(pid_t tid, Thread &thread, const OutputCall &output,
                      const std::array<std::uint64_t, 6> &arguments, user_regs_struct &regs);
  // Points the call at a snapshot of its first piece, or else has it wait for snapshot memory
  // or be read as it returns.
  void start_snapshot_write(pid_t tid, Thread &thread, user_regs_struct &regs);
  // Points the call at a snapshot of its next piece, or at memory it cannot read when there is none.
  void snapshot_piece(pid_t tid, Thread &thread, user_regs_struct &regs);
  // At the exit of a piece: the call's registers back, made again for the next piece or returning.
  void piece_done(pid_t tid, Thread &thread, user_regs_struct &regs);

  const Options &options_;
  TraceLog &trace_;
  RemoteCalls &remote_;
  WriteSnapshots snapshots_;
  std::optional<FileIdentity> standard_output_, standard_error_;
  std::map<pid_t, unsigned> queued_segv_;  // by the thread or process they were queued to
};

}  // namespace vuart

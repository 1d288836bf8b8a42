#pragma once
// What vuart keeps of each thread of the program between its stops.

#include <sys/types.h>
#include <sys/user.h>

#include <csignal>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "files/unique_fd.h"
#include "launch/output_syscall_table.h"
#include "x86/io_permissions.h"

namespace vuart {

// The kernel's struct sigaction, as rt_sigaction takes it on x86-64.
struct KernelSigaction {
  std::uint64_t handler = 0;  // SIG_DFL 0, SIG_IGN 1, or the handler's address
  std::uint64_t flags = 0;
  std::uint64_t restorer = 0;
  std::uint64_t mask = 0;
};

// An output call made from a snapshot of the program's bytes, a piece at a time:
// the call is made again for each piece, and returns once, with what all wrote.
struct SnapshotWrite {
  user_regs_struct program_regs;                                 // as the program made the call, which it gets back
  std::vector<std::pair<std::uint64_t, std::uint64_t>> sources;  // the program's bytes: address and length
  std::uint64_t total = 0;                                       // what the call asks to write
  std::uint64_t done = 0;                                        // what its earlier pieces wrote
  std::optional<std::uint64_t> slot;                             // the snapshot of the piece under way, in the program
  std::vector<std::uint8_t> taken;                               // its bytes, which the trace records
  bool between_pieces = false;                                   // the call is made again, for the next piece
};

// An output call to standard output or error on its way, for the trace.
struct PendingWrite {
  OutputCall call;
  int fd;
  std::uint64_t buffer;        // the data, or the iovec array of the vectored calls
  std::uint64_t count;         // bytes, or iovecs
  std::string source;          // what a copy from another descriptor reads, as /proc names it at the call
  std::uint64_t written = 0;   // what the call (or its piece) wrote
  std::uint64_t recorded = 0;  // how much of it the trace holds
  std::vector<std::pair<std::uint64_t, std::uint64_t>> pieces;  // address and length, once read
  bool mapping_snapshots = false;         // skipped, so that snapshot memory is mapped at its exit; then made again
  bool waits_for_slot = false;            // stopped at its entry until a snapshot slot is free
  std::optional<SnapshotWrite> snapshot;  // made from a snapshot (or else read as it returns)
};

// Why a thread stays stopped: what it sends must wait for room in vuart's outputs.
enum class Waiting {
  nothing,
  port_instruction,    // before (the rest of) a port instruction
  resume_after_flush,  // its COM1 bytes share the program's own output, and go first
  write_record,        // the trace has yet to record the rest of its write
  snapshot_slot,       // its write waits at its entry for a snapshot slot, which others' writes free
};

struct Thread {
  pid_t process = 0;  // its thread group
  IoPermissions permissions;
  std::optional<PendingWrite> write;
  std::vector<PendingWrite> unfinished_writes;  // to be made again for their next piece, when it comes back to them
  std::optional<KernelSigaction> segv_change;   // an rt_sigaction(SIGSEGV) on its way
  std::optional<pid_t> queuing_segv;            // a SIGSEGV "from the kernel" it queues to this thread or process
  std::shared_ptr<KernelSigaction> segv;        // shared by the threads sharing signal handlers
  std::optional<siginfo_t> held_signal;         // arrived while vuart ran a call in this thread
  UniqueFd stat_file;                           // its /proc/TID/stat, kept open: read after port instructions
  Waiting waiting = Waiting::nothing;
  bool told_cli_sti = false;       // vuart said that its CLI and STI do nothing
  bool setting_policy = false;     // a seccomp filter or syscall user dispatch on its way
  bool instruction_begun = false;  // part of its port instruction is done: it counts once
};

}  // namespace vuart

// An output call made from snapshots of the program's bytes (write_snapshots.h),
// a piece at a time: each piece copied at the call's entry into a slot only vuart
// can change and the call pointed there; the call made again for the next piece,
// and returning once, with what all of them wrote.
#include <algorithm>
#include <climits>
#include <cstring>

#include "process/peek_poke.h"
#include "process/ptrace_calls.h"
#include "process/syscalls.h"

namespace vuart {

namespace {

constexpr std::uint64_t max_rw_count = INT_MAX & ~std::uint64_t{4095};  // the most one call writes
constexpr std::uint64_t iovec_room = 16;  // at a slot's start, the one iovec a vectored piece is made with
constexpr std::uint64_t whole_file = ~std::uint64_t{0};  // pwritev2's offset -1: the file's own position

// What a call writes from: one buffer, or its iovecs, as the kernel takes them, and
// nothing where the kernel refuses the call without writing (an iovec it cannot
// read, too many, or a negative length).
std::optional<Extents> write_sources(pid_t tid, const PendingWrite &write)
{
  if (write.call.data == OutputCall::Data::buffer) {
    return Extents{{write.buffer, std::min(write.count, max_rw_count)}};
  }
  Extents iovecs = read_iovecs(tid, write);
  const std::uint64_t negative = write.call.i386 ? 1ULL << 31U : 1ULL << 63U;
  if (write.count > max_output_iovecs || iovecs.size() != write.count ||
      std::any_of(iovecs.begin(), iovecs.end(), [&](const auto &iovec) { return iovec.second >= negative; })) {
    return std::nullopt;
  }
  return iovecs;
}

}  // namespace

void Syscalls::start_snapshot_write(pid_t tid, Thread &thread, user_regs_struct &regs)
{
  PendingWrite &write = *thread.write;
  const bool slot_free = snapshots_.has_free_slot(thread.process);
  if (!slot_free && snapshots_.can_map(thread.process)) {
    // Snapshot memory is mapped where the thread can make system calls: at this call's exit, skipped.
    write.mapping_snapshots = true;
    regs.orig_rax = syscall_skipped;
    set_registers(tid, regs);
    resume(tid, 0, true);
    return;
  }
  if (!slot_free && snapshots_.in_use(thread.process)) {
    write.waits_for_slot = true;  // every slot is busy, and the process has all the areas it may have
    return;
  }
  std::optional<Extents> sources = slot_free ? write_sources(tid, write) : std::nullopt;
  if (!sources) {
    resume(tid, 0, true);  // read as it returns
    return;
  }
  std::uint64_t total = 0;
  for (auto &[address, length] : *sources) {
    length = std::min(length, max_rw_count - total);
    total += length;
  }
  write.snapshot = SnapshotWrite{regs, std::move(*sources), total, 0, std::nullopt, {}, false};
  snapshot_piece(tid, thread, regs);
}

void Syscalls::snapshot_piece(pid_t tid, Thread &thread, user_regs_struct &regs)
{
  PendingWrite &write = *thread.write;
  SnapshotWrite &snapshot = *write.snapshot;
  const std::optional<WriteSnapshots::Slot> slot = snapshots_.take(thread.process);
  if (!slot) {
    write.waits_for_slot = true;  // every slot taken by other threads meanwhile
    return;
  }
  snapshot.slot = slot->address;
  const std::uint64_t data = slot->address + iovec_room;
  snapshot.taken.resize(std::min(snapshot.total - snapshot.done, WriteSnapshots::slot_bytes - iovec_room));
  snapshot.taken.resize(read_extents(tid, snapshot.sources, snapshot.done, snapshot.taken));
  std::copy(snapshot.taken.begin(), snapshot.taken.end(), slot->memory.begin() + iovec_room);
  // Nothing readable where something was asked for: a byte from memory no one
  // can read, for the kernel's own EFAULT (or what the earlier pieces wrote).
  const bool unreadable = snapshot.taken.empty() && snapshot.total > 0;
  const std::uint64_t from = unreadable ? slot->unreadable : data;
  const std::uint64_t count = unreadable ? 1 : snapshot.taken.size();
  const bool i386 = write.call.i386;
  const auto arguments = argument_registers(regs, i386);
  if (write.call.data == OutputCall::Data::buffer) {
    *arguments[1] = from;
    *arguments[2] = count;
  } else {
    const std::array<std::uint64_t, 2> wide = {from, count};
    const std::array<std::uint32_t, 2> narrow = {static_cast<std::uint32_t>(from), static_cast<std::uint32_t>(count)};
    std::memcpy(slot->memory.data(), i386 ? static_cast<const void *>(narrow.data()) : wide.data(),
                i386 ? sizeof narrow : sizeof wide);
    *arguments[1] = slot->address;
    *arguments[2] = 1;
  }
  if (write.call.offset_argument >= 0 && snapshot.done > 0) {
    const auto at = static_cast<std::size_t>(write.call.offset_argument);
    auto program_regs = snapshot.program_regs;
    const auto program_arguments = argument_registers(program_regs, i386);
    const std::uint64_t offset =
        i386 ? (*program_arguments[at] & 0xFFFFFFFFU) | (*program_arguments[at + 1] << 32U) : *program_arguments[at];
    if (offset != whole_file) {
      *arguments[at] = i386 ? (offset + snapshot.done) & 0xFFFFFFFFU : offset + snapshot.done;
      if (i386) {
        *arguments[at + 1] = (offset + snapshot.done) >> 32U;
      }
    }
  }
  set_registers(tid, regs);
  resume(tid, 0, true);
}

void Syscalls::piece_done(pid_t tid, Thread &thread, user_regs_struct &regs)
{
  PendingWrite &write = *thread.write;
  SnapshotWrite &snapshot = *write.snapshot;
  const bool i386 = write.call.i386;
  const long result = i386 ? static_cast<std::int32_t>(regs.rax) : static_cast<long>(regs.rax);
  if (snapshot.slot) {
    snapshots_.give_back(thread.process, *std::exchange(snapshot.slot, std::nullopt));
  }
  const std::uint64_t asked = snapshot.taken.size();
  const std::uint64_t wrote = result > 0 ? std::min<std::uint64_t>(static_cast<std::uint64_t>(result), asked) : 0;
  snapshot.taken.resize(wrote);
  write.written = wrote;
  write.recorded = 0;
  // The program's own arguments back: the call changes none of them.
  const auto program_arguments = argument_registers(snapshot.program_regs, i386);
  const auto arguments = argument_registers(regs, i386);
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    *arguments[i] = *program_arguments[i];
  }
  snapshot.between_pieces = wrote > 0 && wrote == asked && snapshot.done + wrote < snapshot.total;
  if (snapshot.between_pieces) {
    regs.rip -= system_call_length;
    regs.rax = static_cast<unsigned long long>(write.call.number);
  } else if (snapshot.done + wrote > 0) {
    regs.rax = snapshot.done + wrote;  // a later piece's error, as a write interrupted after writing
  }
  snapshot.done += wrote;
  set_registers(tid, regs);
}

bool Syscalls::write_when_slot_free(pid_t tid, Thread &thread, bool signal_waits)
{
  if (!thread.write || (!signal_waits && !snapshots_.has_free_slot(thread.process))) {
    return !thread.write;
  }
  auto regs = registers(tid);
  if (!regs) {
    return true;  // it died: waitpid tells
  }
  PendingWrite &write = *thread.write;
  write.waits_for_slot = false;
  if (!signal_waits) {
    if (write.snapshot) {
      snapshot_piece(tid, thread, *regs);
    } else {
      start_snapshot_write(tid, thread, *regs);
    }
    return !write.waits_for_slot;  // another waiter may have taken the slot first
  }
  if (write.snapshot && write.snapshot->done > 0) {
    regs->orig_rax = syscall_skipped;  // interrupted after its earlier pieces: it returns what they wrote
    regs->rax = write.snapshot->done;
    set_registers(tid, *regs);
    thread.write.reset();
    resume(tid);
    return true;
  }
  write.snapshot.reset();
  resume(tid, 0, true);  // read as it returns; the trace says so
  return true;
}

}  // namespace vuart

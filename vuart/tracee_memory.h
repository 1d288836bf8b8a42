#pragma once
// Access to a traced process's memory, with the processor's page granularity:
// a transfer stops at the first page that cannot be read or written.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "memory.h"

namespace vuart {

// Reads tracee bytes [address, address + out.size()) and returns how many were
// read from the end the transfer starts at: the low end going up, the high end going down.
std::size_t read_tracee(pid_t tid, std::uint64_t address, std::span<std::uint8_t> out, Direction direction);
// Writes likewise, honouring the tracee's page protections.
std::size_t write_tracee(pid_t tid, std::uint64_t address, std::span<const std::uint8_t> in, Direction direction);

// How many bytes of [address, address + size) the tracee's mappings let a write
// reach from the end the transfer starts at, without writing anything.
std::size_t writable_bytes(pid_t tid, std::uint64_t address, std::size_t size, Direction direction);

// Where the tracee's vDSO lies, [start, end), if it has one.
std::optional<std::pair<std::uint64_t, std::uint64_t>> vdso_range(pid_t tid);

// Whether the address lies in one of the tracee's mappings (SEGV_ACCERR rather than SEGV_MAPERR).
bool is_mapped(pid_t tid, std::uint64_t address);

// A traced thread's memory, through process_vm_readv and process_vm_writev.
class TraceeMemory final : public Memory {
 public:
  explicit TraceeMemory(pid_t tid) : tid_(tid) {}
  std::size_t read(std::uint64_t address, std::span<std::uint8_t> out, Direction direction) override
  {
    return read_tracee(tid_, address, out, direction);
  }
  std::size_t write(std::uint64_t address, std::span<const std::uint8_t> in, Direction direction) override
  {
    return write_tracee(tid_, address, in, direction);
  }
  std::size_t writable(std::uint64_t address, std::size_t size, Direction direction) override
  {
    return writable_bytes(tid_, address, size, direction);
  }
  // The kernel's half of the address space (the vsyscall page too) is never mapped for a data access.
  bool mapped(std::uint64_t address) override { return address < (1ULL << 47) && is_mapped(tid_, address); }

 private:
  pid_t tid_;
};

}  // namespace vuart

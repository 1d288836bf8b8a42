#pragma once
// Access to a traced process's memory, with the processor's page granularity:
// a transfer stops at the first page that cannot be read or written.

#include <sys/types.h>

#include <cstdint>
#include <span>

namespace vuart {

enum class Direction { up, down };

// Reads tracee bytes [address, address + out.size()) and returns how many were
// read from the end the transfer starts at: the low end going up, the high end going down.
std::size_t read_tracee(pid_t tid, std::uint64_t address, std::span<std::uint8_t> out, Direction direction);
// Writes likewise, honouring the tracee's page protections.
std::size_t write_tracee(pid_t tid, std::uint64_t address, std::span<const std::uint8_t> in, Direction direction);

// How many bytes of [address, address + size) the tracee's mappings let a write
// reach from the end the transfer starts at, without writing anything.
std::size_t writable_bytes(pid_t tid, std::uint64_t address, std::size_t size, Direction direction);

// Whether the address lies in one of the tracee's mappings (SEGV_ACCERR rather than SEGV_MAPERR).
bool is_mapped(pid_t tid, std::uint64_t address);

}  // namespace vuart

#pragma once
// A stopped thread's memory as a debugger reads and writes it: vuart's own data
// there (system call arguments, what the program writes, instruction bytes)
// through process_vm_readv and process_vm_writev, and /proc where those cannot.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "x86/memory.h"

namespace vuart {

// Reads tracee bytes [address, address + out.size()) and returns how many were
// read from the end the transfer starts at: the low end going up, the high end going down.
std::size_t read_tracee(pid_t tid, std::uint64_t address, std::span<std::uint8_t> out, Direction direction);
// Writes likewise, honouring the tracee's page protections.
std::size_t write_tracee(pid_t tid, std::uint64_t address, std::span<const std::uint8_t> in, Direction direction);
// Stretches of memory, address and length, read one after the other.
using Extents = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
// Reads [from, from + out.size()) of the extents' bytes, stopping where the memory does; how many it read.
std::size_t read_extents(pid_t tid, const Extents &extents, std::uint64_t from, std::span<std::uint8_t> out);
// Reads as the tracer may, through /proc/TID/mem: memory the tracee cannot read
// too, so the caller decides where the tracee could; returns how many bytes it read.
std::size_t read_forced(pid_t tid, std::uint64_t address, std::span<std::uint8_t> out);
// Reads instruction bytes, execute-only code too; returns how many could be read.
std::size_t read_code(pid_t tid, std::uint64_t address, std::span<std::uint8_t> out);

// Whether the address lies in a mapping of the tracee's, and what the mapping allows.
struct PageAccess {
  bool mapped = false;
  bool readable = false;
  bool writable = false;
  bool executable = false;
  bool file = false;  // a file's pages: those past its end raise SIGBUS
};
PageAccess page_access(pid_t tid, std::uint64_t address);

// Where the tracee's vDSO lies, [start, end), if it has one.
std::optional<std::pair<std::uint64_t, std::uint64_t>> vdso_range(pid_t tid);

}  // namespace vuart

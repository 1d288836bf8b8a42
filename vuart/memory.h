#pragma once
// Memory as a port string instruction sees it: accessible or not by whole 4 KiB
// pages, read and written in the direction the transfer runs.

#include <cstddef>
#include <cstdint>
#include <span>

namespace vuart {

enum class Direction { up, down };

class Memory {
 public:
  Memory() = default;
  Memory(const Memory &) = delete;
  Memory &operator=(const Memory &) = delete;
  virtual ~Memory() = default;

  // Reads [address, address + out.size()) and returns how many bytes were read
  // from the end the transfer starts at (the low end going up, the high end going
  // down): it stops at the first page that cannot be read.
  virtual std::size_t read(std::uint64_t address, std::span<std::uint8_t> out, Direction direction) = 0;
  // Writes likewise, honouring page protections.
  virtual std::size_t write(std::uint64_t address, std::span<const std::uint8_t> in, Direction direction) = 0;
  // How many bytes a write of [address, address + size) would reach from its starting end, writing nothing.
  virtual std::size_t writable(std::uint64_t address, std::size_t size, Direction direction) = 0;
  // Whether the address lies in a mapping: a fault there is SEGV_ACCERR rather than SEGV_MAPERR.
  virtual bool mapped(std::uint64_t address) = 0;
};

}  // namespace vuart

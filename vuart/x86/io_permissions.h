#pragma once
// A thread's permission to use I/O ports, kept and changed as Linux does for
// ioperm(2) and iopl(2).

#include <bitset>
#include <cstdint>

namespace vuart {

constexpr unsigned io_port_count = 0x10000;

class IoPermissions {
 public:
  // The result ioperm would return: 0, or -EINVAL for a range outside 0-0xFFFF.
  int ioperm(unsigned long from, unsigned long num, int turn_on);
  // The result iopl would return: 0, or -EINVAL for a level above 3.
  int iopl(unsigned long level);

  [[nodiscard]] unsigned iopl_level() const { return iopl_level_; }
  // Whether every port from `port` to `port + width - 1` may be used.
  [[nodiscard]] bool allows(std::uint32_t port, unsigned width) const;

 private:
  std::bitset<io_port_count> granted_;
  unsigned iopl_level_ = 0;
};

}  // namespace vuart

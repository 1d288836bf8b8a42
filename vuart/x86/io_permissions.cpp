#include "x86/io_permissions.h"

#include <cerrno>

namespace vuart {

int IoPermissions::ioperm(unsigned long from, unsigned long num, int turn_on)
{
  if (from + num <= from || from + num > io_port_count) {
    return -EINVAL;
  }
  for (unsigned long port = from; port < from + num; ++port) {
    granted_[port] = turn_on != 0;
  }
  return 0;
}

int IoPermissions::iopl(unsigned long level)
{
  if (level > 3) {
    return -EINVAL;
  }
  iopl_level_ = static_cast<unsigned>(level);
  return 0;
}

bool IoPermissions::allows(std::uint32_t port, unsigned width) const
{
  if (port + width > io_port_count) {
    return false;  // the processor's bitmap ends with denied bits past 0xFFFF
  }
  if (iopl_level_ == 3) {
    return true;
  }
  for (std::uint32_t p = port; p < port + width; ++p) {
    if (!granted_[p]) {
      return false;
    }
  }
  return true;
}

}  // namespace vuart

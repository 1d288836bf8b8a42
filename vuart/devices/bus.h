#pragma once
// The I/O port space as a PC's ISA bus makes it: devices claim ranges of
// ports; ports nobody claims ignore writes and read as all ones.

#include <cstdint>
#include <span>
#include <vector>

#include "devices/device.h"

namespace vuart {

class Bus {
 public:
  // Gives ports base .. base + length - 1 to `device`, which must outlive the bus.
  // Throws std::logic_error where the range is empty, past the last port, or claimed already.
  void attach(std::uint16_t base, unsigned length, Device &device);

  // An access of `width` bytes touches ports port .. port + width - 1, lowest byte first.
  void write(std::uint16_t port, unsigned width, std::uint32_t value);
  [[nodiscard]] std::uint32_t read(std::uint16_t port, unsigned width);
  // Elements of `width` bytes one after the other, as rep outs and rep ins move them:
  // a run of bytes at one port reaches its device in one call.
  void write_elements(std::uint16_t port, unsigned width, std::span<const std::uint8_t> elements);
  void read_elements(std::uint16_t port, unsigned width, std::span<std::uint8_t> elements);

 private:
  struct Claim {
    std::uint32_t base;
    std::uint32_t end;  // one past the last port
    Device *device;
  };
  [[nodiscard]] const Claim *claim(std::uint32_t port) const;

  std::vector<Claim> claims_;  // a handful: a search beats a table of 65536
};

}  // namespace vuart

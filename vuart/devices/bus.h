#pragma once
// The virtual I/O port space: COM1's UART at its eight ports; ports nobody
// claims ignore writes and read as all ones, as on a PC's ISA bus.

#include <cstdint>
#include <span>

#include "devices/uart16550.h"

namespace vuart {

constexpr std::uint16_t com1_base = 0x3F8;

class PortSpace {
 public:
  explicit PortSpace(Uart16550::Transmit com1_transmit, Uart16550::Receive com1_receive = {},
                     Uart16550::Clock clock = Uart16550::steady_time)
      : com1_(std::move(com1_transmit), std::move(com1_receive), std::move(clock))
  {
  }

  // An access of `width` bytes touches ports port .. port + width - 1, lowest byte first.
  void write(std::uint16_t port, unsigned width, std::uint32_t value);
  [[nodiscard]] std::uint32_t read(std::uint16_t port, unsigned width);
  // Writes elements of `width` bytes one after the other, as a rep outs does.
  void write_elements(std::uint16_t port, unsigned width, std::span<const std::uint8_t> elements);
  [[nodiscard]] unsigned com1_unread() const { return com1_.unread(); }

 private:
  void write_byte(std::uint32_t port, std::uint8_t value);
  [[nodiscard]] std::uint8_t read_byte(std::uint32_t port);

  Uart16550 com1_;
};

}  // namespace vuart

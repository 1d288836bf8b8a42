#pragma once
// The virtual I/O port space: a 16550-style UART at COM1's eight ports; ports
// nobody claims ignore writes and read as all ones, as on a PC's ISA bus.

#include <array>
#include <cstdint>
#include <functional>

namespace vuart {

constexpr std::uint16_t com1_base = 0x3F8;

class Uart16550 {
 public:
  using Transmit = std::function<void(std::uint8_t)>;
  explicit Uart16550(Transmit transmit) : transmit_(std::move(transmit)) {}

  // Register offsets 0-7 from the base port.
  void write(unsigned offset, std::uint8_t value);
  [[nodiscard]] std::uint8_t read(unsigned offset) const;

 private:
  [[nodiscard]] bool divisor_latch() const { return (registers_[line_control] & 0x80) != 0; }

  static constexpr unsigned data = 0, interrupt_enable = 1, fifo_control = 2, line_control = 3, line_status = 5;
  Transmit transmit_;
  std::array<std::uint8_t, 8> registers_{};
  std::array<std::uint8_t, 2> divisor_{};
};

class PortSpace {
 public:
  explicit PortSpace(Uart16550::Transmit com1_transmit) : com1_(std::move(com1_transmit)) {}

  // An access of `width` bytes touches ports port .. port + width - 1, lowest byte first.
  void write(std::uint16_t port, unsigned width, std::uint32_t value);
  [[nodiscard]] std::uint32_t read(std::uint16_t port, unsigned width) const;

 private:
  void write_byte(std::uint32_t port, std::uint8_t value);
  [[nodiscard]] std::uint8_t read_byte(std::uint32_t port) const;

  Uart16550 com1_;
};

}  // namespace vuart

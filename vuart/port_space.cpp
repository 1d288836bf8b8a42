#include "port_space.h"

namespace vuart {

namespace {

constexpr std::uint8_t transmitter_empty = 0x60;  // THRE and TEMT: always ready
constexpr std::uint8_t no_interrupt_pending = 0x01;
constexpr std::uint8_t unclaimed_port = 0xFF;

}  // namespace

void Uart16550::write(unsigned offset, std::uint8_t value)
{
  if (offset <= interrupt_enable && divisor_latch()) {
    divisor_[offset] = value;
  } else if (offset == data) {
    transmit_(value);
  } else if (offset != line_status) {
    registers_[offset] = value;  // the FIFO control register stands in for the interrupt identification
  }
}

std::uint8_t Uart16550::read(unsigned offset) const
{
  if (offset <= interrupt_enable && divisor_latch()) {
    return divisor_[offset];
  }
  switch (offset) {
  case data: return 0;  // nothing is ever received
  case fifo_control: return no_interrupt_pending;
  case line_status: return transmitter_empty;
  default: return registers_[offset];
  }
}

void PortSpace::write(std::uint16_t port, unsigned width, std::uint32_t value)
{
  for (unsigned i = 0; i < width; ++i) {
    write_byte(port + i, static_cast<std::uint8_t>(value >> (8 * i)));
  }
}

std::uint32_t PortSpace::read(std::uint16_t port, unsigned width) const
{
  std::uint32_t value = 0;
  for (unsigned i = 0; i < width; ++i) {
    value |= static_cast<std::uint32_t>(read_byte(port + i)) << (8 * i);
  }
  return value;
}

void PortSpace::write_byte(std::uint32_t port, std::uint8_t value)
{
  if (port >= com1_base && port < com1_base + 8U) {
    com1_.write(port - com1_base, value);
  }
}

std::uint8_t PortSpace::read_byte(std::uint32_t port) const
{
  if (port >= com1_base && port < com1_base + 8U) {
    return com1_.read(port - com1_base);
  }
  return unclaimed_port;
}

}  // namespace vuart

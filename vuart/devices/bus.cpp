#include "devices/bus.h"

namespace vuart {

namespace {

constexpr std::uint8_t unclaimed_port = 0xFF;

}  // namespace

void PortSpace::write(std::uint16_t port, unsigned width, std::uint32_t value)
{
  for (unsigned i = 0; i < width; ++i) {
    write_byte(port + i, static_cast<std::uint8_t>(value >> (8 * i)));
  }
}

void PortSpace::write_elements(std::uint16_t port, unsigned width, std::span<const std::uint8_t> elements)
{
  if (port == com1_base && width == 1) {
    com1_.write_data(elements);  // the common case, taken whole
    return;
  }
  for (std::size_t at = 0; at + width <= elements.size(); at += width) {
    std::uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
      value |= static_cast<std::uint32_t>(elements[at + i]) << (8 * i);
    }
    write(port, width, value);
  }
}

std::uint32_t PortSpace::read(std::uint16_t port, unsigned width)
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

std::uint8_t PortSpace::read_byte(std::uint32_t port)
{
  if (port >= com1_base && port < com1_base + 8U) {
    return com1_.read(port - com1_base);
  }
  return unclaimed_port;
}

}  // namespace vuart

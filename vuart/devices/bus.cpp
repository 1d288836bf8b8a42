#include "devices/bus.h"

#include <algorithm>
#include <stdexcept>

namespace vuart {

namespace {

constexpr std::uint8_t unclaimed_port = 0xFF;
constexpr std::uint32_t ports = 0x10000;

}  // namespace

void Bus::attach(std::uint16_t base, unsigned length, Device &device)
{
  const std::uint32_t end = std::uint32_t{base} + length;
  const bool overlaps =
      std::ranges::any_of(claims_, [&](const Claim &claim) { return base < claim.end && claim.base < end; });
  if (length == 0 || end > ports || overlaps) {
    throw std::logic_error("ports " + std::to_string(base) + "+" + std::to_string(length) + " cannot be claimed");
  }
  claims_.push_back({base, end, &device});
}

const Bus::Claim *Bus::claim(std::uint32_t port) const
{
  const auto found =
      std::ranges::find_if(claims_, [port](const Claim &claim) { return port >= claim.base && port < claim.end; });
  return found != claims_.end() ? &*found : nullptr;
}

void Bus::write(std::uint16_t port, unsigned width, std::uint32_t value)
{
  for (unsigned i = 0; i < width; ++i) {
    if (const Claim *claim = this->claim(port + i)) {
      const auto byte = static_cast<std::uint8_t>(value >> (8 * i));
      claim->device->write(port + i - claim->base, std::span(&byte, 1));
    }
  }
}

std::uint32_t Bus::read(std::uint16_t port, unsigned width)
{
  std::uint32_t value = 0;
  for (unsigned i = 0; i < width; ++i) {
    std::uint8_t byte = unclaimed_port;
    if (const Claim *claim = this->claim(port + i)) {
      claim->device->read(port + i - claim->base, std::span(&byte, 1));
    }
    value |= std::uint32_t{byte} << (8 * i);
  }
  return value;
}

void Bus::write_elements(std::uint16_t port, unsigned width, std::span<const std::uint8_t> elements)
{
  if (width == 1) {
    if (const Claim *claim = this->claim(port)) {
      claim->device->write(port - claim->base, elements);
    }
    return;
  }
  for (std::size_t at = 0; at + width <= elements.size(); at += width) {
    std::uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
      value |= std::uint32_t{elements[at + i]} << (8 * i);
    }
    write(port, width, value);
  }
}

void Bus::read_elements(std::uint16_t port, unsigned width, std::span<std::uint8_t> elements)
{
  if (width == 1) {
    if (const Claim *claim = this->claim(port)) {
      claim->device->read(port - claim->base, elements);
    } else {
      std::ranges::fill(elements, unclaimed_port);
    }
    return;
  }
  for (std::size_t at = 0; at + width <= elements.size(); at += width) {
    const std::uint32_t value = read(port, width);
    for (unsigned i = 0; i < width; ++i) {
      elements[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
  }
}

}  // namespace vuart

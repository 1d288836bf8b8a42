#pragma once
// The debug console at port 0xE9, where firmware and kernels under the common
// emulators print: bytes written go to its file; a read answers 0xE9, which is
// how a program finds the console there.

#include <algorithm>
#include <functional>

#include "devices/device.h"

namespace vuart {

class DebugConsole : public Device {
 public:
  using Sink = std::function<void(std::span<const std::uint8_t>)>;

  DebugConsole(std::uint16_t port, Sink sink, DeviceEvents &events)
      : port_(port), sink_(std::move(sink)), events_(events)
  {
  }

  void write(unsigned /*offset*/, std::span<const std::uint8_t> values) override
  {
    written_ += values.size();
    if (sink_) {
      sink_(values);
    }
    events_.add(DeviceEvent::Kind::debug_console, port_, values);
  }
  void read(unsigned /*offset*/, std::span<std::uint8_t> values) override
  {
    std::ranges::fill(values, static_cast<std::uint8_t>(port_));
  }
  [[nodiscard]] std::uint64_t written() const { return written_; }

 private:
  std::uint16_t port_;
  Sink sink_;
  std::uint64_t written_ = 0;
  DeviceEvents &events_;
};

}  // namespace vuart

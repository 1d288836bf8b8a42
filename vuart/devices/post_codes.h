#pragma once
// Port 0x80, where firmware and drivers write power-on self-test codes (and
// some write anything, for a short delay). Each code is an event, and the last
// one is kept for the run's summary; reads answer all ones.

#include <algorithm>
#include <optional>

#include "devices/device.h"

namespace vuart {

class PostCodes : public Device {
 public:
  PostCodes(std::uint16_t port, DeviceEvents &events) : port_(port), events_(events) {}

  void write(unsigned /*offset*/, std::span<const std::uint8_t> values) override
  {
    if (!values.empty()) {
      last_ = values.back();
      events_.add(DeviceEvent::Kind::post_code, port_, values);
    }
  }
  void read(unsigned /*offset*/, std::span<std::uint8_t> values) override
  {
    std::ranges::fill(values, 0xFF);  // as the common emulators answer
  }
  [[nodiscard]] std::optional<std::uint8_t> last() const { return last_; }

 private:
  std::uint16_t port_;
  DeviceEvents &events_;
  std::optional<std::uint8_t> last_;
};

}  // namespace vuart

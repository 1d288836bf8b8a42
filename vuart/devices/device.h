#pragma once
// What every device on the port bus is: registers at offsets from the base the
// bus attached it at, and what it did besides answering the program, for the
// trace. Devices know nothing of processes or of how instructions are carried out.

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace vuart {

class Device {
 public:
  Device() = default;
  Device(const Device &) = delete;
  Device &operator=(const Device &) = delete;
  Device(Device &&) = delete;
  Device &operator=(Device &&) = delete;
  virtual ~Device() = default;

  // Values written to the port at `offset`, one after the other: one for an out, a whole run for a rep outs.
  virtual void write(unsigned offset, std::span<const std::uint8_t> values) = 0;
  // Values read from the port at `offset`, one after the other, as in and rep ins read them.
  virtual void read(unsigned offset, std::span<std::uint8_t> values) = 0;
};

// What a device did that the program's registers and memory do not show.
struct DeviceEvent {
  enum class Kind {
    received,       // bytes a UART's receiver took from its line
    post_code,      // a power-on self-test code
    debug_console,  // text for the debug console
  };
  Kind kind;
  std::uint16_t port;  // the device's base port
  std::vector<std::uint8_t> bytes;
};

// The events of one instruction, in the order they happened.
class DeviceEvents {
 public:
  // A run of bytes of one kind at one port joins the event before it.
  void add(DeviceEvent::Kind kind, std::uint16_t port, std::span<const std::uint8_t> bytes)
  {
    if (!recording_) {
      return;
    }
    if (events_.empty() || events_.back().kind != kind || events_.back().port != port) {
      events_.push_back({kind, port, {}});
    }
    events_.back().bytes.insert(events_.back().bytes.end(), bytes.begin(), bytes.end());
    size_ += bytes.size();
  }
  [[nodiscard]] std::vector<DeviceEvent> take()
  {
    size_ = 0;
    return std::exchange(events_, {});
  }
  [[nodiscard]] std::size_t size() const { return size_; }  // bytes held
  // Without a trace there is no one to tell: nothing is kept.
  void set_recording(bool recording) { recording_ = recording; }

 private:
  bool recording_ = true;
  std::vector<DeviceEvent> events_;
  std::size_t size_ = 0;
};

}  // namespace vuart

#pragma once
// The devices of a PC's port space that vuart gives a program, each attached
// to the bus at its range: a device is one file here and one line in the
// constructor.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "devices/bus.h"
#include "devices/debug_console.h"
#include "devices/post_codes.h"
#include "devices/rtc.h"
#include "devices/uart16550.h"

namespace vuart {

// A COM port's far end.
struct SerialLine {
  Uart16550::Transmit transmit;  // empty: what the port sends is counted, and goes nowhere
  Uart16550::Receive receive;    // empty: nothing arrives
};

struct DeviceClocks {
  Uart16550::Clock steady = Uart16550::steady_time;  // the UARTs' character times
  Rtc::Clock calendar = Rtc::host_time;
};

class PcPorts {
 public:
  static constexpr unsigned com_ports = 4;
  static constexpr std::array<std::uint16_t, com_ports> com_bases = {0x3F8, 0x2F8, 0x3E8, 0x2E8};
  static constexpr std::uint16_t debug_console_port = 0xE9;
  static constexpr std::uint16_t post_port = 0x80;
  static constexpr std::uint16_t rtc_base = 0x70;

  static std::string com_name(unsigned index) { return "COM" + std::to_string(index + 1); }

  PcPorts(std::array<SerialLine, com_ports> lines, DebugConsole::Sink debug_console, DeviceClocks clocks = {});
  PcPorts(const PcPorts &) = delete;  // the devices' lines point back here
  PcPorts &operator=(const PcPorts &) = delete;
  PcPorts(PcPorts &&) = delete;
  PcPorts &operator=(PcPorts &&) = delete;
  ~PcPorts() = default;

  [[nodiscard]] Bus &bus() { return bus_; }
  [[nodiscard]] DeviceEvents &events() { return events_; }
  [[nodiscard]] const Uart16550 &com(unsigned index) const { return *com_[index]; }
  [[nodiscard]] std::uint64_t sent(unsigned index) const { return sent_[index]; }
  [[nodiscard]] std::uint64_t received(unsigned index) const { return received_[index]; }
  [[nodiscard]] std::optional<std::uint8_t> last_post_code() const { return post_.last(); }
  [[nodiscard]] std::uint64_t debug_console_written() const { return debug_console_.written(); }

 private:
  DeviceEvents events_;
  std::array<std::uint64_t, com_ports> sent_{};
  std::array<std::uint64_t, com_ports> received_{};
  std::array<std::unique_ptr<Uart16550>, com_ports> com_;
  DebugConsole debug_console_;
  PostCodes post_;
  Rtc rtc_;
  Bus bus_;
};

}  // namespace vuart

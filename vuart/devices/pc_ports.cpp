#include "devices/pc_ports.h"

namespace vuart {

PcPorts::PcPorts(std::array<SerialLine, com_ports> lines, DebugConsole::Sink debug_console, DeviceClocks clocks)
    : debug_console_(debug_console_port, std::move(debug_console), events_), post_(post_port, events_),
      rtc_(std::move(clocks.calendar))
{
  for (unsigned i = 0; i < com_ports; ++i) {
    Uart16550::Transmit transmit = [this, i, to = std::move(lines[i].transmit)](std::span<const std::uint8_t> bytes) {
      sent_[i] += bytes.size();
      if (to) {
        to(bytes);
      }
    };
    Uart16550::Receive receive;
    if (lines[i].receive) {
      receive = [this, i, from = std::move(lines[i].receive)]() -> std::optional<std::uint8_t> {
        const std::optional<std::uint8_t> byte = from();
        if (byte) {
          ++received_[i];
          events_.add(DeviceEvent::Kind::received, com_bases[i], std::span(&*byte, 1));
        }
        return byte;
      };
    }
    com_[i] = std::make_unique<Uart16550>(std::move(transmit), std::move(receive), clocks.steady);
    bus_.attach(com_bases[i], 8, *com_[i]);
  }
  bus_.attach(debug_console_port, 1, debug_console_);
  bus_.attach(post_port, 1, post_);
  bus_.attach(rtc_base, 2, rtc_);
}

}  // namespace vuart

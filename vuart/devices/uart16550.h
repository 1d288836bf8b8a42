#pragma once
// A COM port's UART: a 16550A with its registers, its FIFOs and the clock its
// character timeout runs on.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "devices/device.h"

namespace vuart {

// A 16550A as its data sheet describes it and as a PC leaves it after boot
// (9600 baud, FIFOs off, no interrupt enabled). Transmission takes no time: the
// transmitter is always empty. Bytes from the line are taken from their source
// only when the receive FIFO has room, so none is lost on the way in; in loopback
// mode the transmitter feeds the receiver and nothing reaches the line. Time
// runs at the rate the divisor and line control set: with FIFOs on, bytes below
// the trigger level raise the character timeout once four character times pass
// without a byte arriving or being read.
class Uart16550 : public Device {
 public:
  using Transmit = std::function<void(std::span<const std::uint8_t>)>;  // bytes sent, in order
  using Receive = std::function<std::optional<std::uint8_t>()>;         // the line's next byte, if one has arrived
  using Clock = std::function<std::chrono::nanoseconds()>;

  explicit Uart16550(Transmit transmit, Receive receive = {}, Clock clock = steady_time)
      : transmit_(std::move(transmit)), receive_(std::move(receive)), clock_(std::move(clock))
  {
  }

  // Register offsets 0-7 from the base port. Reads have side effects: RBR pops
  // the receive FIFO, LSR clears the overrun, MSR its delta bits, IIR the
  // transmitter-empty indication.
  void write(unsigned offset, std::uint8_t value);
  [[nodiscard]] std::uint8_t read(unsigned offset);
  // A run of values at one register: the data register's go to the line in one piece.
  void write(unsigned offset, std::span<const std::uint8_t> values) override;
  void read(unsigned offset, std::span<std::uint8_t> values) override;
  // Bytes the receiver holds that the program has not read.
  [[nodiscard]] unsigned unread() const { return received_count_; }

  // How long one character takes on the line, start and stop bits included.
  [[nodiscard]] std::chrono::nanoseconds character_time() const;

  static constexpr unsigned fifo_depth = 16;
  static std::chrono::nanoseconds steady_time();

 private:
  [[nodiscard]] bool divisor_latch() const { return (line_control_ & 0x80U) != 0; }
  [[nodiscard]] bool loopback() const { return (modem_control_ & 0x10U) != 0; }
  [[nodiscard]] bool fifos_on() const { return (fifo_control_ & 0x01U) != 0; }
  [[nodiscard]] unsigned receive_capacity() const { return fifos_on() ? fifo_depth : 1; }
  [[nodiscard]] bool character_timeout() const;
  [[nodiscard]] std::uint8_t interrupt_identification() const;
  [[nodiscard]] std::uint8_t modem_inputs() const;  // CTS, DSR, RI and DCD as bits 4-7
  void receive(std::uint8_t byte);
  void take_from_line();
  void write_fifo_control(std::uint8_t value);
  void write_modem_control(std::uint8_t value);
  void clear_receiver();

  Transmit transmit_;
  Receive receive_;
  Clock clock_;

  std::uint16_t divisor_ = 12;  // 115200 / 12 = 9600 baud, as a PC BIOS leaves it
  std::uint8_t interrupt_enable_ = 0;
  std::uint8_t fifo_control_ = 0;
  std::uint8_t line_control_ = 0;  // as the kernel leaves it after probing the port
  std::uint8_t modem_control_ = 0;
  std::uint8_t scratch_ = 0;
  std::uint8_t modem_status_ = 0xB0;  // a connected line: DCD, DSR and CTS
  bool overrun_ = false;
  bool transmitter_empty_pending_ = false;
  std::uint8_t receiver_buffer_ = 0;  // without FIFOs: the last byte received, which stays readable
  std::array<std::uint8_t, fifo_depth> received_{};
  unsigned received_first_ = 0;
  unsigned received_count_ = 0;
  std::chrono::nanoseconds receiver_active_{};  // when a byte last arrived or was read
};

}  // namespace vuart

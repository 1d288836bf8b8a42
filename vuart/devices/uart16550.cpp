#include "devices/uart16550.h"

namespace vuart {

namespace {

// Register offsets from the base port.
constexpr unsigned data = 0, interrupt_enable = 1, interrupt_identification_fifo_control = 2, line_control = 3,
                   modem_control = 4, line_status = 5, modem_status = 6, scratch = 7;

// Interrupt enable bits.
constexpr std::uint8_t received_data_interrupt = 0x01, transmitter_empty_interrupt = 0x02, line_status_interrupt = 0x04,
                       modem_status_interrupt = 0x08;

// Interrupt identification values, in falling priority, and the FIFO bits.
constexpr std::uint8_t identifies_line_status = 0x06, identifies_received_data = 0x04,
                       identifies_character_timeout = 0x0C, identifies_transmitter_empty = 0x02,
                       identifies_modem_status = 0x00, identifies_nothing = 0x01, identifies_fifos_on = 0xC0;

// FIFO control bits.
constexpr std::uint8_t fifo_enable = 0x01, reset_receive_fifo = 0x02, reset_transmit_fifo = 0x04;
constexpr std::uint8_t fifo_control_kept = 0xC9;  // enable, DMA mode and the receive trigger level

// Line status bits.
constexpr std::uint8_t data_ready = 0x01, overrun_error = 0x02, transmitter_idle = 0x60;  // THRE and TEMT

// Modem control and status bits.
constexpr std::uint8_t modem_control_bits = 0x1F;
constexpr std::uint8_t ring_indicator = 0x40, trailing_edge_ring = 0x04, modem_deltas = 0x0F;
constexpr std::uint8_t connected_line = 0xB0;  // DCD, DSR and CTS

constexpr unsigned base_clock = 115200;  // the baud rate at divisor 1
constexpr unsigned timeout_characters = 4;

}  // namespace

std::uint8_t Uart16550::modem_inputs() const
{
  if (!loopback()) {
    return connected_line;
  }
  // In loopback the outputs are wired to the inputs: RTS to CTS, DTR to DSR, OUT1 to RI, OUT2 to DCD.
  const unsigned outputs = modem_control_;
  return static_cast<std::uint8_t>(((outputs & 0x02U) << 3) | ((outputs & 0x01U) << 5) | ((outputs & 0x0CU) << 4));
}

void Uart16550::write_modem_control(std::uint8_t value)
{
  const std::uint8_t before = modem_status_ & 0xF0U;
  modem_control_ = value & modem_control_bits;
  const std::uint8_t after = modem_inputs();
  // A change of CTS, DSR or DCD sets its delta bit; RI only when it goes off.
  auto deltas = static_cast<std::uint8_t>(((before ^ after) >> 4) & ~trailing_edge_ring);
  if ((before & ring_indicator) != 0 && (after & ring_indicator) == 0) {
    deltas |= trailing_edge_ring;
  }
  modem_status_ = static_cast<std::uint8_t>(after | ((modem_status_ | deltas) & modem_deltas));
}

void Uart16550::clear_receiver()
{
  received_first_ = 0;
  received_count_ = 0;
}

void Uart16550::write_fifo_control(std::uint8_t value)
{
  if (((value ^ fifo_control_) & fifo_enable) != 0) {
    value |= reset_receive_fifo | reset_transmit_fifo;  // switching the FIFOs on or off empties them
  }
  if ((value & reset_receive_fifo) != 0) {
    clear_receiver();
  }
  if ((value & reset_transmit_fifo) != 0) {
    transmitter_empty_pending_ = true;
  }
  fifo_control_ = value & fifo_control_kept;
}

void Uart16550::receive(std::uint8_t byte)
{
  if (!fifos_on()) {
    overrun_ = overrun_ || received_count_ != 0;  // the new byte overwrites the unread one
    receiver_buffer_ = byte;
    received_count_ = 1;
  } else if (received_count_ < fifo_depth) {
    received_[(received_first_ + received_count_++) % fifo_depth] = byte;
    receiver_active_ = clock_();
  } else {
    overrun_ = true;  // a full FIFO keeps what it has
  }
}

void Uart16550::take_from_line()
{
  if (loopback() || !receive_) {
    return;
  }
  while (received_count_ < receive_capacity()) {
    const std::optional<std::uint8_t> byte = receive_();
    if (!byte) {
      return;
    }
    receive(*byte);
  }
}

std::chrono::nanoseconds Uart16550::steady_time()
{
  return std::chrono::steady_clock::now().time_since_epoch();
}

std::chrono::nanoseconds Uart16550::character_time() const
{
  // Start bit, 5-8 data bits, parity and 1, 1.5 or 2 stop bits, counted in half bits.
  const unsigned data_bits = 5 + (line_control_ & 0x03U);
  const unsigned parity_bits = (line_control_ & 0x08U) != 0 ? 1 : 0;
  const unsigned stop_half_bits = (line_control_ & 0x04U) == 0 ? 2 : (data_bits == 5 ? 3 : 4);
  const unsigned half_bits = 2 * (1 + data_bits + parity_bits) + stop_half_bits;
  const std::uint64_t divisor = divisor_ != 0 ? divisor_ : 0x10000;  // 0 counts as 65536
  return std::chrono::nanoseconds(std::uint64_t{half_bits} * divisor * 1'000'000'000ULL /
                                  (std::uint64_t{2} * base_clock));
}

bool Uart16550::character_timeout() const
{
  return fifos_on() && received_count_ > 0 && clock_() - receiver_active_ >= timeout_characters * character_time();
}

std::uint8_t Uart16550::interrupt_identification() const
{
  static constexpr std::array<unsigned, 4> trigger_levels = {1, 4, 8, 14};
  const unsigned trigger = fifos_on() ? trigger_levels[fifo_control_ >> 6U] : 1;
  std::uint8_t identified = identifies_nothing;
  if ((interrupt_enable_ & line_status_interrupt) != 0 && overrun_) {
    identified = identifies_line_status;
  } else if ((interrupt_enable_ & received_data_interrupt) != 0 && received_count_ >= trigger) {
    identified = identifies_received_data;
  } else if ((interrupt_enable_ & received_data_interrupt) != 0 && character_timeout()) {
    identified = identifies_character_timeout;
  } else if ((interrupt_enable_ & transmitter_empty_interrupt) != 0 && transmitter_empty_pending_) {
    identified = identifies_transmitter_empty;
  } else if ((interrupt_enable_ & modem_status_interrupt) != 0 && (modem_status_ & modem_deltas) != 0) {
    identified = identifies_modem_status;
  }
  return fifos_on() ? identified | identifies_fifos_on : identified;
}

void Uart16550::write(unsigned offset, std::uint8_t value)
{
  if (offset <= interrupt_enable && divisor_latch()) {
    const unsigned shift = offset == data ? 0 : 8;
    divisor_ = static_cast<std::uint16_t>((divisor_ & ~(0xFFU << shift)) | (unsigned{value} << shift));
    return;
  }
  switch (offset) {
  case data:
    if (loopback()) {
      receive(value);
    } else {
      transmit_(std::span(&value, 1));
    }
    transmitter_empty_pending_ = true;  // sent at once: the holding register is empty again
    break;
  case interrupt_enable: {
    const auto enabled = static_cast<std::uint8_t>(value & 0x0FU);
    if (((enabled ^ interrupt_enable_) & transmitter_empty_interrupt) != 0) {
      // Enabling it with the holding register empty raises the interrupt anew.
      transmitter_empty_pending_ = (enabled & transmitter_empty_interrupt) != 0;
    }
    interrupt_enable_ = enabled;
    break;
  }
  case interrupt_identification_fifo_control: write_fifo_control(value); break;
  case line_control: line_control_ = value; break;
  case modem_control: write_modem_control(value); break;
  case scratch: scratch_ = value; break;
  default: break;  // the line and modem status registers are read only
  }
}

void Uart16550::write(unsigned offset, std::span<const std::uint8_t> values)
{
  if (offset != data || divisor_latch() || loopback() || values.empty()) {
    for (const std::uint8_t value : values) {
      write(offset, value);
    }
    return;
  }
  transmit_(values);
  transmitter_empty_pending_ = true;
}

void Uart16550::read(unsigned offset, std::span<std::uint8_t> values)
{
  for (std::uint8_t &value : values) {
    value = read(offset);
  }
}

std::uint8_t Uart16550::read(unsigned offset)
{
  if (offset <= interrupt_enable && divisor_latch()) {
    return static_cast<std::uint8_t>(offset == data ? divisor_ & 0xFFU : divisor_ >> 8U);
  }
  switch (offset) {
  case data: {
    take_from_line();
    if (!fifos_on()) {
      received_count_ = 0;
      return receiver_buffer_;
    }
    if (received_count_ == 0) {
      return 0;
    }
    const std::uint8_t byte = received_[received_first_];
    received_first_ = (received_first_ + 1) % fifo_depth;
    --received_count_;
    receiver_active_ = clock_();  // a read restarts the timeout
    return byte;
  }
  case interrupt_enable: return interrupt_enable_;
  case interrupt_identification_fifo_control: {
    take_from_line();
    const std::uint8_t identified = interrupt_identification();
    if ((identified & 0x0FU) == identifies_transmitter_empty) {
      transmitter_empty_pending_ = false;
    }
    return identified;
  }
  case line_control: return line_control_;
  case modem_control: return modem_control_;
  case line_status: {
    take_from_line();
    const auto status = static_cast<std::uint8_t>(transmitter_idle | (received_count_ > 0 ? data_ready : 0) |
                                                  (overrun_ ? overrun_error : 0));
    overrun_ = false;
    return status;
  }
  case modem_status: {
    const std::uint8_t status = modem_status_;
    modem_status_ &= static_cast<std::uint8_t>(~modem_deltas);
    return status;
  }
  default: return scratch_;
  }
}

}  // namespace vuart

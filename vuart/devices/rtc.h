#pragma once
// A PC's real-time clock, an MC146818 with its CMOS memory, at ports 0x70
// (index) and 0x71 (data). It runs on the host's clock: a program that sets
// the time moves this run's clock only, never the host's.

#include <array>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>

#include "devices/device.h"

namespace vuart {

class Rtc : public Device {
 public:
  using Clock = std::function<std::chrono::nanoseconds()>;  // time since the epoch, UTC

  explicit Rtc(Clock clock = host_time);

  void write(unsigned offset, std::span<const std::uint8_t> values) override;
  void read(unsigned offset, std::span<std::uint8_t> values) override;

  static std::chrono::nanoseconds host_time();

 private:
  [[nodiscard]] std::chrono::nanoseconds now() const { return clock_() + offset_; }
  [[nodiscard]] std::tm calendar() const;  // the time the registers show
  void set_calendar(const std::tm &time);
  [[nodiscard]] std::uint8_t encoded(unsigned index, const std::tm &time) const;
  [[nodiscard]] unsigned decoded(unsigned index, std::uint8_t value) const;
  [[nodiscard]] bool updating() const;
  [[nodiscard]] std::uint8_t take_flags();
  [[nodiscard]] std::uint8_t read_register(unsigned index);
  void write_register(unsigned index, std::uint8_t value);
  [[nodiscard]] bool binary() const { return (control_ & 0x04U) != 0; }
  [[nodiscard]] bool hours24() const { return (control_ & 0x02U) != 0; }
  [[nodiscard]] bool halted() const { return (control_ & 0x80U) != 0; }  // SET: the program is setting the time

  Clock clock_;
  std::chrono::nanoseconds offset_{};       // what the program set, against the host's clock
  std::optional<std::tm> held_;             // the time while SET stops it
  int weekday_shift_ = 0;                   // the day of the week counts on its own, as the program set it
  std::chrono::nanoseconds flags_taken_{};  // when register C was last read
  unsigned index_ = 0;
  std::uint8_t rate_ = 0x26;              // register A: the 32.768 kHz time base, a 1024 Hz periodic rate
  std::uint8_t control_ = 0x02;           // register B: 24-hour, BCD, as a PC's firmware leaves it
  std::array<std::uint8_t, 128> cmos_{};  // the alarm registers and the NVRAM
};

}  // namespace vuart

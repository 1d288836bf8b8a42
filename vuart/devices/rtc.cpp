#include "devices/rtc.h"

#include <algorithm>

namespace vuart {

namespace {

// Register indexes.
constexpr unsigned seconds = 0, seconds_alarm = 1, minutes = 2, minutes_alarm = 3, hours = 4, hours_alarm = 5,
                   weekday = 6, day = 7, month = 8, year = 9, register_a = 10, register_b = 11, register_c = 12,
                   register_d = 13, century = 0x32;  // where a PC's firmware keeps the century

constexpr std::uint8_t update_in_progress = 0x80, valid_ram = 0x80, pm = 0x80, dont_care = 0xC0;
constexpr std::uint8_t set_bit = 0x80, update_interrupt = 0x10;
constexpr std::uint8_t irq_flag = 0x80, periodic_flag = 0x40, alarm_flag = 0x20, update_flag = 0x10;
constexpr unsigned index_mask = 0x7F;  // bit 7 of the index masks the NMI on a PC

// The update flag rises as each second begins; UIP is up from 244 us before
// that until the update cycle's 1984 us after.
constexpr auto second = std::chrono::nanoseconds(std::chrono::seconds(1));
constexpr auto before_update = std::chrono::microseconds(244);
constexpr auto update_cycle = std::chrono::microseconds(1984);
constexpr std::int64_t time_base_hz = 32768;
constexpr std::int64_t seconds_a_day = 86400;
constexpr std::time_t latest_time = 7258118399;  // 2199-12-31 23:59:59 UTC

std::uint8_t to_bcd(unsigned value)
{
  return static_cast<std::uint8_t>(((value / 10) << 4) | (value % 10));
}

unsigned from_bcd(std::uint8_t value)
{
  return (value >> 4) * 10U + (value & 0x0FU);
}

std::tm calendar_at(std::chrono::nanoseconds since_epoch)
{
  const std::time_t at = std::chrono::floor<std::chrono::seconds>(since_epoch).count();
  std::tm time{};
  gmtime_r(&at, &time);
  return time;
}

}  // namespace

Rtc::Rtc(Clock clock) : clock_(std::move(clock)), flags_taken_(now()) {}

std::chrono::nanoseconds Rtc::host_time()
{
  return std::chrono::system_clock::now().time_since_epoch();
}

std::tm Rtc::calendar() const
{
  return held_ ? *held_ : calendar_at(now());
}

void Rtc::set_calendar(const std::tm &time)
{
  if (halted()) {
    held_ = time;
    return;
  }
  std::tm copy = time;
  // The clock runs from 1970 to 2199: nanoseconds since 1970 go no further than 2262.
  const std::chrono::seconds set(std::clamp<std::time_t>(timegm(&copy), 0, latest_time));
  // The new second starts now, as the chip's divider chain restarts.
  offset_ = set - clock_();
}

std::uint8_t Rtc::encoded(unsigned index, const std::tm &time) const
{
  unsigned value = 0;
  bool afternoon = false;
  switch (index) {
  case seconds: value = static_cast<unsigned>(time.tm_sec); break;
  case minutes: value = static_cast<unsigned>(time.tm_min); break;
  case hours:
    value = static_cast<unsigned>(time.tm_hour);
    if (!hours24()) {
      afternoon = value >= 12;
      value = value % 12 == 0 ? 12 : value % 12;
    }
    break;
  case weekday: value = static_cast<unsigned>((time.tm_wday + weekday_shift_) % 7 + 1); break;  // Sunday is 1
  case day: value = static_cast<unsigned>(time.tm_mday); break;
  case month: value = static_cast<unsigned>(time.tm_mon + 1); break;
  case year: value = static_cast<unsigned>(time.tm_year % 100); break;
  default: value = static_cast<unsigned>((time.tm_year + 1900) / 100); break;  // the century
  }
  const std::uint8_t number = binary() ? static_cast<std::uint8_t>(value) : to_bcd(value);
  return afternoon ? number | pm : number;
}

unsigned Rtc::decoded(unsigned index, std::uint8_t value) const
{
  const bool afternoon = index == hours && !hours24() && (value & pm) != 0;
  const std::uint8_t number = index == hours && !hours24() ? value & ~pm : value;
  unsigned decoded = binary() ? number : from_bcd(number);
  if (index == hours && !hours24()) {
    decoded = decoded % 12 + (afternoon ? 12 : 0);
  }
  return decoded;
}

bool Rtc::updating() const
{
  if (halted()) {
    return false;
  }
  const auto into_second = now() % second;
  return into_second >= second - before_update || into_second < update_cycle;
}

std::uint8_t Rtc::take_flags()
{
  const std::chrono::nanoseconds from = flags_taken_;
  const std::chrono::nanoseconds to = now();
  flags_taken_ = to;
  std::uint8_t flags = 0;
  if (const unsigned rate = rate_ & 0x0FU; rate != 0) {
    const std::int64_t ticks = rate <= 2 ? std::int64_t{1} << (rate + 6) : std::int64_t{1} << (rate - 1);
    const auto period = std::chrono::nanoseconds(ticks * std::chrono::nanoseconds(second).count() / time_base_hz);
    flags |= from / period != to / period ? periodic_flag : 0;
  }
  const auto first = std::chrono::floor<std::chrono::seconds>(from);
  const auto last = std::chrono::floor<std::chrono::seconds>(to);
  if (!halted() && last > first) {
    flags |= update_flag;
    // The alarm rings at each second its three registers match, a value with both top bits set matching any.
    const auto matches = [this](const std::tm &time) {
      return std::ranges::all_of(std::array{std::pair{seconds_alarm, seconds}, std::pair{minutes_alarm, minutes},
                                            std::pair{hours_alarm, hours}},
                                 [&](const auto &alarm) {
                                   const std::uint8_t wanted = cmos_[alarm.first];
                                   return (wanted & dont_care) == dont_care || wanted == encoded(alarm.second, time);
                                 });
    };
    const auto earliest = std::max(first + std::chrono::seconds(1), last - std::chrono::seconds(seconds_a_day - 1));
    for (auto at = earliest; at <= last && (flags & alarm_flag) == 0; at += std::chrono::seconds(1)) {
      flags |= matches(calendar_at(at)) ? alarm_flag : 0;
    }
  }
  if ((flags & control_ & (periodic_flag | alarm_flag | update_flag)) != 0) {
    flags |= irq_flag;  // an enabled flag is up: the chip asks for its interrupt
  }
  return flags;
}

std::uint8_t Rtc::read_register(unsigned index)
{
  switch (index) {
  case seconds:
  case minutes:
  case hours:
  case weekday:
  case day:
  case month:
  case year:
  case century: return encoded(index, calendar());
  case register_a: return static_cast<std::uint8_t>(rate_ | (updating() ? update_in_progress : 0));
  case register_b: return control_;
  case register_c: return take_flags();
  case register_d: return valid_ram;
  default: return cmos_[index];
  }
}

void Rtc::write_register(unsigned index, std::uint8_t value)
{
  switch (index) {
  case seconds:
  case minutes:
  case hours:
  case day:
  case month:
  case year:
  case century: {
    std::tm time = calendar();
    const int number = static_cast<int>(decoded(index, value));
    switch (index) {
    case seconds: time.tm_sec = number; break;
    case minutes: time.tm_min = number; break;
    case hours: time.tm_hour = number; break;
    case day: time.tm_mday = number; break;
    case month: time.tm_mon = number - 1; break;
    case year: time.tm_year = (time.tm_year + 1900) / 100 * 100 + number - 1900; break;
    default: time.tm_year = number * 100 + time.tm_year % 100 - 1900; break;
    }
    set_calendar(time);
    break;
  }
  case weekday: {
    const std::tm time = calendar();
    weekday_shift_ = ((static_cast<int>(decoded(index, value)) - 1 - time.tm_wday) % 7 + 7) % 7;
    break;
  }
  case register_a: rate_ = value & ~update_in_progress; break;
  case register_b:
    if ((value & set_bit) != 0 && !halted()) {
      held_ = calendar();
      value &= ~update_interrupt;  // setting SET clears UIE
    }
    control_ = value;
    if (!halted() && held_) {
      const std::tm time = *std::exchange(held_, std::nullopt);
      set_calendar(time);
    }
    break;
  case register_c:
  case register_d: break;  // read only
  default: cmos_[index] = value; break;
  }
}

void Rtc::write(unsigned offset, std::span<const std::uint8_t> values)
{
  for (const std::uint8_t value : values) {
    if (offset == 0) {
      index_ = value & index_mask;
    } else {
      write_register(index_, value);
    }
  }
}

void Rtc::read(unsigned offset, std::span<std::uint8_t> values)
{
  for (std::uint8_t &value : values) {
    value = offset == 0 ? 0xFF : read_register(index_);  // the index port is write-only
  }
}

}  // namespace vuart

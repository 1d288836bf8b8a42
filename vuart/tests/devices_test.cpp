#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "devices/pc_ports.h"
#include "devices/rtc.h"
#include "devices/uart16550.h"
#include "launch/options.h"
#include "launch/sandbox.h"
#include "trace/trace_log.h"
#include "x86/io_permissions.h"

namespace vuart {
namespace {

TEST(IoPermissions, IopermRangesAsTheKernel)
{
  IoPermissions permissions;
  EXPECT_FALSE(permissions.allows(0x3F8, 1));
  EXPECT_EQ(permissions.ioperm(0x3F8, 8, 1), 0);
  EXPECT_TRUE(permissions.allows(0x3F8, 1));
  EXPECT_TRUE(permissions.allows(0x3FC, 4));
  EXPECT_FALSE(permissions.allows(0x3FE, 4));  // runs past the grant
  EXPECT_FALSE(permissions.allows(0x3F7, 1));

  EXPECT_EQ(permissions.ioperm(0x3F9, 1, 0), 0);
  EXPECT_FALSE(permissions.allows(0x3F8, 2));
  EXPECT_TRUE(permissions.allows(0x3FA, 2));

  EXPECT_EQ(permissions.ioperm(0, 0, 1), -EINVAL);
  EXPECT_EQ(permissions.ioperm(0xFFFF, 2, 1), -EINVAL);
  EXPECT_EQ(permissions.ioperm(0x10000, 1, 1), -EINVAL);
  EXPECT_EQ(permissions.ioperm(~0UL, 2, 1), -EINVAL);  // wraps around
  EXPECT_EQ(permissions.ioperm(0, 0x10000, 1), 0);
  EXPECT_TRUE(permissions.allows(0xFFFF, 1));
  EXPECT_FALSE(permissions.allows(0xFFFF, 2));  // past the last port
}

TEST(IoPermissions, IoplThreeGrantsEverything)
{
  IoPermissions permissions;
  EXPECT_EQ(permissions.iopl(4), -EINVAL);
  EXPECT_EQ(permissions.iopl(2), 0);
  EXPECT_FALSE(permissions.allows(0x80, 1));
  EXPECT_EQ(permissions.iopl(3), 0);
  EXPECT_TRUE(permissions.allows(0x80, 1));
  EXPECT_TRUE(permissions.allows(0xFFFC, 4));
  EXPECT_EQ(permissions.iopl(0), 0);
  EXPECT_FALSE(permissions.allows(0x80, 1));
}

class PortSpaceTest : public ::testing::Test {
 protected:
  std::string sent;
  std::string line;  // bytes still to arrive on COM1's line
  std::chrono::nanoseconds now{};
  PcPorts pc{{SerialLine{[this](std::span<const std::uint8_t> bytes) { sent.append(bytes.begin(), bytes.end()); },
                         [this]() -> std::optional<std::uint8_t> {
                           if (line.empty()) {
                             return std::nullopt;
                           }
                           const auto byte = static_cast<std::uint8_t>(line.front());
                           line.erase(0, 1);
                           return byte;
                         }},
              {},
              {},
              {}},
             {},
             {[this] { return now; }}};
  Bus &ports = pc.bus();
  std::uint32_t in(std::uint16_t port) { return ports.read(port, 1); }
  void out(std::uint16_t port, std::uint8_t value) { ports.write(port, 1, value); }
};

constexpr std::uint16_t rbr = 0x3F8, ier = 0x3F9, iir = 0x3FA, lcr = 0x3FB, mcr = 0x3FC, lsr = 0x3FD, msr = 0x3FE;

TEST_F(PortSpaceTest, EachDeviceAtItsRangeAndOtherPortsFloat)
{
  ports.write(0x3F8, 2, 0x4241);  // 'A' transmitted, 0x42 into the interrupt enable register
  EXPECT_EQ(sent, "A");
  EXPECT_EQ(in(ier), 0x02u);
  ports.write(0x2F0, 4, 0x12345678);
  EXPECT_EQ(ports.read(0x2F0, 4), 0xFFFFFFFFu);
  out(0x3FF, 0x5A);
  EXPECT_EQ(ports.read(0x3FE, 4), 0xFFFF5AB0u);  // MSR, scratch, then two floating ports
  for (const unsigned base : {0x2F8U, 0x3E8U, 0x2E8U}) {
    out(static_cast<std::uint16_t>(base + 7), static_cast<std::uint8_t>(base));  // each UART's own scratch register
  }
  EXPECT_EQ(in(0x2FF) | in(0x3EF) << 8 | in(0x2EF) << 16, 0xE8E8F8u);
  EXPECT_EQ(in(0x3FF), 0x5Au);
  ports.write_elements(0x2F8, 1, std::array<std::uint8_t, 3>{'x', 'y', 'z'});
  EXPECT_EQ(pc.sent(1), 3u);  // COM2 has no line here: counted, not sent to COM1's
  EXPECT_EQ(sent, "A");

  line = "rx";
  ports.write_elements(0x80, 1, std::array<std::uint8_t, 2>{0x12, 0x34});
  std::array<std::uint8_t, 2> read{};
  ports.read_elements(rbr, 1, read);  // a rep insb: one run for the UART
  ports.write_elements(0xE9, 1, std::array<std::uint8_t, 2>{'o', 'k'});
  EXPECT_EQ(std::string(read.begin(), read.end()), "rx");
  EXPECT_EQ(in(0x80), 0xFFu);
  EXPECT_EQ(pc.last_post_code(), 0x34);
  EXPECT_EQ(in(0xE9), 0xE9u);
  const std::vector<DeviceEvent> events = pc.events().take();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].kind, DeviceEvent::Kind::post_code);
  EXPECT_EQ(events[0].bytes, (std::vector<std::uint8_t>{0x12, 0x34}));
  EXPECT_EQ(events[1].kind, DeviceEvent::Kind::received);
  EXPECT_EQ(events[1].port, 0x3F8);
  EXPECT_EQ(std::string(events[1].bytes.begin(), events[1].bytes.end()), "rx");
  EXPECT_EQ(events[2].kind, DeviceEvent::Kind::debug_console);
  EXPECT_TRUE(pc.events().take().empty());

  std::array<std::uint8_t, 3> floating{};
  ports.read_elements(0x2F0, 1, floating);  // a rep insb where nothing answers
  EXPECT_EQ(floating, (std::array<std::uint8_t, 3>{0xFF, 0xFF, 0xFF}));
  PostCodes post(0x80, pc.events());
  EXPECT_THROW(ports.attach(0x7F, 2, post), std::logic_error);  // the RTC's 0x70-0x71 is taken... and 0x80
  EXPECT_THROW(ports.attach(0xFFFF, 2, post), std::logic_error);
  ports.attach(0x81, 1, post);
  EXPECT_EQ(in(0x81), 0xFFu);
}

// The clock's registers against a calendar the test sets: 2026-12-09, a Wednesday, 19:53:43.5 UTC.
TEST(Rtc, RegistersModesFlagsAndSettingTheTime)
{
  using std::chrono::milliseconds;
  std::chrono::nanoseconds now = std::chrono::seconds(1796846023) + milliseconds(500);
  Rtc rtc([&now] { return now; });
  const auto reg = [&rtc](std::uint8_t index) {
    rtc.write(0, std::array<std::uint8_t, 1>{index});
    std::array<std::uint8_t, 1> value{};
    rtc.read(1, value);
    return unsigned{value[0]};
  };
  const auto set = [&rtc](std::uint8_t index, std::uint8_t value) {
    rtc.write(0, std::array<std::uint8_t, 1>{index});
    rtc.write(1, std::array<std::uint8_t, 1>{value});
  };
  const auto fields = [&reg] {
    std::vector<unsigned> values;
    for (const std::uint8_t index : std::array<std::uint8_t, 8>{0, 2, 4, 6, 7, 8, 9, 0x32}) {
      values.push_back(reg(index));
    }
    return values;
  };
  EXPECT_EQ(fields(), (std::vector<unsigned>{0x43, 0x53, 0x19, 4, 0x09, 0x12, 0x26, 0x20}));  // BCD, 24-hour
  EXPECT_EQ(reg(0x0B), 0x02u);
  EXPECT_EQ(reg(0x0D), 0x80u);
  set(0x0B, 0x04);  // binary, 12-hour
  EXPECT_EQ(fields(), (std::vector<unsigned>{43, 53, 0x80 | 7, 4, 9, 12, 26, 20}));
  EXPECT_EQ(reg(0x8A), 0x26u);  // bit 7 of the index masks the NMI; UIP is down mid-second
  std::array<std::uint8_t, 1> index_port{};
  rtc.read(0, index_port);
  EXPECT_EQ(index_port[0], 0xFFu);

  EXPECT_EQ(reg(0x0C), 0u);  // nothing since it started
  now += std::chrono::microseconds(499'700);
  EXPECT_EQ(reg(0x0A), 0x26u);  // 300 us before the second: not yet
  now += std::chrono::microseconds(200);
  EXPECT_EQ(reg(0x0A), 0xA6u);  // 100 us before: update in progress
  set(0x01, 44);                // the alarm at hh:mm:44, any minute, any hour
  set(0x03, 0xC0);
  set(0x05, 0xFF);
  now += std::chrono::microseconds(2'000);
  EXPECT_EQ(reg(0x0A), 0xA6u);  // the update cycle, 1.9 ms into the second
  now += milliseconds(1);
  EXPECT_EQ(reg(0x0A), 0x26u);
  EXPECT_EQ(reg(0x0C), 0x70u);  // periodic, alarm and update flags, none enabled: no IRQF
  EXPECT_EQ(reg(0x0C), 0u);     // reading C cleared them
  set(0x0B, 0x14);              // the update interrupt enabled
  now += std::chrono::seconds(1);
  EXPECT_EQ(reg(0x0C), 0xD0u);  // IRQF with UF; the alarm is past

  set(0x0B, 0x84);  // SET stops the clock while it is set, and clears UIE
  EXPECT_EQ(reg(0x0B), 0x84u);
  set(0x04, 0x80 | 11);  // 11 PM
  set(0x09, 30);
  set(0x07, 9);
  now += std::chrono::seconds(5);
  EXPECT_EQ(reg(0x00), 45u);
  set(0x0B, 0x06);  // running again from what was set; binary 24-hour
  now += std::chrono::seconds(2);
  EXPECT_EQ(fields(), (std::vector<unsigned>{47, 53, 23, 2, 9, 12, 30, 20}));  // a Monday
  set(0x32, 99);  // year 9930: the clock goes no further than 2199
  EXPECT_EQ(reg(0x32) * 100 + reg(0x09), 2199u);
  set(0x32, 20);
  set(0x09, 30);
  set(0x07, 9);
  set(0x06, 1);  // the day of the week counts on its own
  EXPECT_EQ(reg(0x06), 1u);
  EXPECT_EQ(reg(0x07), 9u);
  for (unsigned index = 0x0E; index < 0x80; ++index) {
    if (index != 0x32) {
      set(static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(index ^ 0xA5));
    }
  }
  for (unsigned index = 0x0E; index < 0x80; ++index) {
    if (index != 0x32) {
      EXPECT_EQ(reg(static_cast<std::uint8_t>(index)), index ^ 0xA5) << index;
    }
  }
}

TEST_F(PortSpaceTest, ModemStatusDeltasFollowTheLines)
{
  out(mcr, 0x10);             // loopback with every output off: CTS, DSR and DCD drop
  EXPECT_EQ(in(msr), 0x0Bu);  // DDCD, DDSR, DCTS
  EXPECT_EQ(in(msr), 0x00u);  // deltas clear on reading
  out(mcr, 0x14);             // OUT1 raises RI: no delta on the leading edge
  EXPECT_EQ(in(msr), 0x40u);
  out(mcr, 0x10);
  EXPECT_EQ(in(msr), 0x04u);  // RI's trailing edge
  out(ier, 0x08);
  out(mcr, 0x00);
  EXPECT_EQ(in(iir), 0x00u);  // a modem status change is pending
  EXPECT_EQ(in(msr), 0xBBu);  // back to the connected line
  EXPECT_EQ(in(iir), 0x01u);
  EXPECT_EQ(sent, "");
}

TEST_F(PortSpaceTest, LineBytesArriveOnlyWhenThereIsRoom)
{
  line = "0123456789abcdefghij";
  EXPECT_EQ(in(lsr), 0x61u);
  EXPECT_EQ(line.size(), 19u);  // one byte taken: without FIFOs the receiver holds one
  out(iir, 0x07);               // enabling the FIFOs empties them: that byte is dropped
  EXPECT_EQ(in(lsr), 0x61u);
  EXPECT_EQ(line.size(), 3u);  // the FIFO took sixteen more
  std::string read;
  while ((in(lsr)&0x01U) != 0) {
    read += static_cast<char>(in(rbr));
  }
  EXPECT_EQ(read, "123456789abcdefghij");  // nothing overran, nothing lost
  EXPECT_EQ(in(lsr), 0x60u);
  out(mcr, 0x10);  // in loopback the line is disconnected: its bytes wait
  line = "k";
  out(rbr, 'x');
  EXPECT_EQ(in(rbr), static_cast<std::uint32_t>('x'));
  EXPECT_EQ(in(lsr), 0x60u);
  EXPECT_EQ(line, "k");
  EXPECT_EQ(sent, "");
}

TEST_F(PortSpaceTest, ReceiveTriggerLevelGatesTheDataInterrupt)
{
  out(iir, 0x87);  // FIFOs on, trigger at 8 bytes
  out(mcr, 0x10);
  in(msr);
  out(ier, 0x01);
  for (int i = 0; i < 7; ++i) {
    out(rbr, 'a');
  }
  EXPECT_EQ(in(iir), 0xC1u);
  out(rbr, 'a');
  EXPECT_EQ(in(iir), 0xC4u);
  out(lcr, 0x80);
  EXPECT_EQ(in(rbr), 0x0Cu);  // the divisor latch hides the receiver: 9600 baud, as after boot
  EXPECT_EQ(in(ier), 0x00u);
  out(lcr, 0x00);
  EXPECT_EQ(in(rbr), static_cast<std::uint32_t>('a'));
}

TEST_F(PortSpaceTest, CharacterTimeoutFollowsTheLineRate)
{
  out(lcr, 0x83);
  out(rbr, 96);    // 1200 baud
  out(lcr, 0x03);  // 8N1: ten bits, 8.33 ms a character
  out(iir, 0xC7);  // FIFOs on, trigger at 14
  out(ier, 0x01);
  line = "ab";
  EXPECT_EQ(in(iir), 0xC1u);  // two bytes arrive: below the trigger, no timeout yet
  now += std::chrono::microseconds(33333);
  EXPECT_EQ(in(iir), 0xC1u);
  now += std::chrono::microseconds(1);
  EXPECT_EQ(in(iir), 0xCCu);  // four character times without a byte or a read
  EXPECT_EQ(in(rbr), static_cast<std::uint32_t>('a'));
  EXPECT_EQ(in(iir), 0xC1u);  // a read starts the wait anew
  out(lcr, 0x0F);             // 8 data bits, parity, 2 stop bits: twelve bits
  now += std::chrono::microseconds(39990);
  EXPECT_EQ(in(iir), 0xC1u);
  now += std::chrono::microseconds(20);
  EXPECT_EQ(in(iir), 0xCCu);
}

TEST_F(PortSpaceTest, EachInterruptHasItsOwnEnableBit)
{
  out(mcr, 0x10);
  out(rbr, 'x');
  out(rbr, 'y');  // without FIFOs: an overrun, and data waiting
  in(msr);
  const std::array<std::pair<std::uint8_t, std::uint32_t>, 4> identified = {
      {{0x04, 0x06u}, {0x01, 0x04u}, {0x02, 0x02u}, {0x00, 0x01u}}};
  for (const auto &[enabled, expected] : identified) {
    out(ier, enabled);
    EXPECT_EQ(in(iir), expected) << "IER " << int{enabled};
  }
}

// The rules of the data sheet one by one, on a UART of its own with a clock the test moves.
TEST(Uart16550Rules, OneAssertionEach)
{
  using std::chrono::microseconds;
  std::string sent;
  std::chrono::nanoseconds now{};
  Uart16550 uart([&sent](std::span<const std::uint8_t> bytes) { sent.append(bytes.begin(), bytes.end()); }, {},
                 [&now] { return now; });
  const auto divisor = [&uart](std::uint8_t low, std::uint8_t high) {
    uart.write(3, 0x80);
    uart.write(0, low);
    uart.write(1, high);
  };
  divisor(96, 0);                                        // 1200 baud
  uart.write(3, 0x04);                                   // 5 data bits: "2 stop bits" are 1.5
  EXPECT_EQ(uart.character_time(), microseconds(6250));  // 7.5 bits of 833.3 us
  divisor(0, 0);
  uart.write(3, 0x03);
  EXPECT_EQ(uart.character_time(), std::chrono::nanoseconds(5'688'888'888));  // divisor 0 counts as 65536
  divisor(96, 0);
  uart.write(3, 0x83);
  const std::array<std::uint8_t, 3> into_the_latch = {'x', 'y', 12};
  uart.write(0, into_the_latch);  // rep outsb with DLAB set: the divisor's low byte, nothing sent
  EXPECT_EQ(uart.read(0), 12U);
  EXPECT_EQ(sent, "");
  uart.write(3, 0x03);  // 8N1 at 9600 baud: 1.04 ms a character
  uart.write(2, 0xC7);  // FIFOs on, trigger at 14
  uart.write(4, 0x10);  // loopback
  uart.write(1, 0x02);  // enabling THRE's interrupt with the transmitter empty raises it
  EXPECT_EQ(uart.read(2), 0xC2U);
  EXPECT_EQ(uart.read(2), 0xC1U);  // reading IIR cleared it, FIFOs on as off
  uart.write(1, 0x00);
  uart.write(0, 'a');
  now += 3 * uart.character_time();
  uart.write(0, 'b');  // a byte's arrival restarts the timeout
  now += 3 * uart.character_time();
  EXPECT_EQ(uart.read(2), 0xC1U);  // IER bit 0 off: no timeout whatever the time
  uart.write(1, 0x01);
  EXPECT_EQ(uart.read(2), 0xC1U);  // three character times since 'b'
  now += uart.character_time();
  EXPECT_EQ(uart.read(2), 0xCCU);
  for (int i = 0; i < 15; ++i) {
    uart.write(0, 'c');
  }
  EXPECT_EQ(uart.read(5) & 0x03U, 0x03U);  // the 17th byte overran a full FIFO
  EXPECT_EQ(uart.unread(), 16U);
}

TEST(MountPlan, WritablePlacesAndWhatCannotBeLifted)
{
  for (const char *refused : {"/", "/dev/null", "/proc/self", "/no/such/place"}) {
    EXPECT_TRUE(std::holds_alternative<std::string>(plan_mounts(std::vector<std::string>{refused}))) << refused;
  }
  const auto plan = std::get<MountPlan>(plan_mounts(std::vector<std::string>{"/tmp/.", "/usr/share"}));
  EXPECT_NE(std::ranges::find(plan.writable, "/usr/share"), plan.writable.end());
  EXPECT_EQ(std::ranges::count(plan.writable, "/tmp"), 1);  // named twice, put back once
  EXPECT_EQ(std::ranges::find(plan.helper_route, "/"), plan.helper_route.end());
  EXPECT_TRUE(std::ranges::any_of(plan.helper_route, [](const std::string &path) {
    return path.ends_with("/sbin");  // on the way to /sbin/request-key, a link or not
  }));
}

TEST(Json, EveryByteHasOneCodePoint)
{
  std::vector<std::uint8_t> all;
  for (int byte = 0; byte < 256; ++byte) {
    all.push_back(static_cast<std::uint8_t>(byte));
  }
  const std::string quoted = json_bytes(all);
  EXPECT_EQ(quoted.substr(0, 13), "\"\\u0000\\u0001");
  EXPECT_NE(quoted.find("\\t\\n\\u000b"), std::string::npos);
  EXPECT_NE(quoted.find(" !\\\"#"), std::string::npos);
  EXPECT_NE(quoted.find("[\\\\]"), std::string::npos);
  EXPECT_NE(quoted.find("~\\u007f\\u0080"), std::string::npos);
  EXPECT_EQ(quoted.substr(quoted.size() - 7), "\\u00ff\"");
  EXPECT_EQ(JsonObject().text("event", "x").number("n", -1).flag("b", true).line(),
            "{\"event\":\"x\",\"n\":-1,\"b\":true}\n");
}

ParsedCommandLine parse(std::vector<std::string> arguments)
{
  return parse_command_line(arguments);
}

TEST(Options, ProgramAndOptions)
{
  const auto parsed = parse({"--trace=t", "--com1", "c", "--refuse", "ENOSYS", "--pty", "-q", "--", "prog", "--pty"});
  const auto &options = std::get<Options>(parsed);
  EXPECT_EQ(options.trace_path, "t");
  EXPECT_EQ(options.com_path[0], "c");
  EXPECT_EQ(options.refuse, ENOSYS);
  EXPECT_TRUE(options.pty);
  EXPECT_TRUE(options.quiet);
  EXPECT_EQ(options.command, (std::vector<std::string>{"prog", "--pty"}));
  EXPECT_EQ(std::get<Options>(parse({"prog", "-x"})).command, (std::vector<std::string>{"prog", "-x"}));
  EXPECT_EQ(std::get<Options>(parse({"--refuse=EPERM", "p"})).refuse, EPERM);
  const auto devices = std::get<Options>(
      parse({"--com2", "pty", "--com3-input=i", "--debugcon", "d", "--trace-ports", "0x3F8-0x3FF,128", "p"}));
  EXPECT_EQ(devices.com_path, (std::array<std::string, 4>{"", "pty", "", ""}));
  EXPECT_EQ(devices.com_input_path, (std::array<std::string, 4>{"", "", "i", ""}));
  EXPECT_EQ(devices.debug_console_path, "d");
  EXPECT_TRUE(devices.trace_ports.covers(0x3FC) && devices.trace_ports.covers(0x80));
  EXPECT_TRUE(devices.trace_ports.covers(0x3F7, 2));  // its second byte is traced
  EXPECT_FALSE(devices.trace_ports.covers(0x81) || devices.trace_ports.covers(0x3F6, 2));
}

TEST(Options, Mistakes)
{
  EXPECT_TRUE(std::holds_alternative<ShowHelp>(parse({"--help", "--bogus"})));
  EXPECT_TRUE(std::holds_alternative<ShowVersion>(parse({"--version"})));
  for (const auto &arguments : std::vector<std::vector<std::string>>{{},
                                                                     {"--"},
                                                                     {"--bogus", "p"},
                                                                     {"--trace"},
                                                                     {"--trace="},
                                                                     {"--refuse=EIO", "p"},
                                                                     {"--pty"},
                                                                     {"--com5", "f", "p"},
                                                                     {"--com2", "pty", "--com2-input", "f", "p"},
                                                                     {"--com1", "tcp::5555", "--com1-input", "f", "p"},
                                                                     {"--trace-ports=0x400-0x3FF", "p"},
                                                                     {"--trace-ports=0x10000", "p"},
                                                                     {"--trace-ports=1,,2", "p"},
                                                                     {"--trace-ports=0x", "p"}}) {
    EXPECT_TRUE(std::holds_alternative<UsageError>(parse(arguments))) << arguments.size();
  }
}

}  // namespace
}  // namespace vuart

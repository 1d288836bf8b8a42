#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "io_permissions.h"
#include "json.h"
#include "options.h"
#include "port_space.h"

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
  PortSpace ports{[this](std::uint8_t byte) { sent += static_cast<char>(byte); }};
};

TEST_F(PortSpaceTest, DataRegisterTransmits)
{
  ports.write(0x3F8, 1, 'h');
  ports.write(0x3F8, 2, 0x4241);  // 'A' transmitted, 'B' into the interrupt enable register
  EXPECT_EQ(sent, "hA");
  EXPECT_EQ(ports.read(0x3F9, 1), 0x42u);
  EXPECT_EQ(ports.read(0x3FD, 1), 0x60u);  // transmitter empty
  EXPECT_EQ(ports.read(0x3FA, 1), 0x01u);  // no interrupt pending
  EXPECT_EQ(ports.read(0x3F8, 1), 0x00u);  // nothing received
}

TEST_F(PortSpaceTest, DivisorLatchHidesTheDataRegister)
{
  ports.write(0x3FB, 1, 0x83);  // DLAB on, 8 data bits
  ports.write(0x3F8, 1, 0x01);
  ports.write(0x3F9, 1, 0x00);
  EXPECT_EQ(sent, "");
  EXPECT_EQ(ports.read(0x3F8, 1), 0x01u);
  ports.write(0x3FB, 1, 0x03);
  ports.write(0x3F8, 1, 'x');
  EXPECT_EQ(sent, "x");
  EXPECT_EQ(ports.read(0x3FB, 1), 0x03u);
}

TEST_F(PortSpaceTest, LineStatusIgnoresWritesAndOtherPortsFloat)
{
  ports.write(0x3FD, 1, 0x00);
  EXPECT_EQ(ports.read(0x3FD, 1), 0x60u);
  ports.write(0x3FF, 1, 0x5A);
  EXPECT_EQ(ports.read(0x3FF, 1), 0x5Au);
  ports.write(0x2F8, 4, 0x12345678);
  EXPECT_EQ(ports.read(0x2F8, 4), 0xFFFFFFFFu);
  EXPECT_EQ(ports.read(0x3FE, 4), 0xFFFF5A00u);  // straddles the end of COM1: two bytes float
  EXPECT_EQ(sent, "");
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
  EXPECT_EQ(options.com1_path, "c");
  EXPECT_EQ(options.refuse, ENOSYS);
  EXPECT_TRUE(options.pty);
  EXPECT_TRUE(options.quiet);
  EXPECT_EQ(options.command, (std::vector<std::string>{"prog", "--pty"}));
  EXPECT_EQ(std::get<Options>(parse({"prog", "-x"})).command, (std::vector<std::string>{"prog", "-x"}));
  EXPECT_EQ(std::get<Options>(parse({"--refuse=EPERM", "p"})).refuse, EPERM);
}

TEST(Options, Mistakes)
{
  EXPECT_TRUE(std::holds_alternative<ShowHelp>(parse({"--help", "--bogus"})));
  EXPECT_TRUE(std::holds_alternative<ShowVersion>(parse({"--version"})));
  for (const auto &arguments : std::vector<std::vector<std::string>>{
           {}, {"--"}, {"--bogus", "p"}, {"--trace"}, {"--trace="}, {"--refuse=EIO", "p"}, {"--pty"}}) {
    EXPECT_TRUE(std::holds_alternative<UsageError>(parse(arguments))) << arguments.size();
  }
}

}  // namespace
}  // namespace vuart

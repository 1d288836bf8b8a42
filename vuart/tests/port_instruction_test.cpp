#include "x86/port_instruction.h"

#include <gtest/gtest.h>

#include <vector>

namespace vuart {
namespace {

std::optional<PortInstruction> decode(std::vector<std::uint8_t> code)
{
  return decode_port_instruction(code);
}

TEST(PortInstruction, PlainForms)
{
  struct Case {
    std::vector<std::uint8_t> code;
    PortOp op;
    unsigned width;
    bool port_in_dx;
    std::size_t length;
  };
  const Case cases[] = {
      {{0xE4, 0x80}, PortOp::in, 1, false, 2},  {{0xE5, 0x80}, PortOp::in, 4, false, 2},
      {{0xE6, 0x80}, PortOp::out, 1, false, 2}, {{0xE7, 0x80}, PortOp::out, 4, false, 2},
      {{0xEC}, PortOp::in, 1, true, 1},         {{0xED}, PortOp::in, 4, true, 1},
      {{0xEE}, PortOp::out, 1, true, 1},        {{0xEF}, PortOp::out, 4, true, 1},
      {{0x6C}, PortOp::ins, 1, true, 1},        {{0x6D}, PortOp::ins, 4, true, 1},
      {{0x6E}, PortOp::outs, 1, true, 1},       {{0x6F}, PortOp::outs, 4, true, 1},
      {{0x66, 0xEF}, PortOp::out, 2, true, 2},  {{0x66, 0xE5, 0x10}, PortOp::in, 2, false, 3},
  };
  for (const Case &c : cases) {
    const auto decoded = decode(c.code);
    ASSERT_TRUE(decoded) << "opcode " << int(c.code.back());
    EXPECT_EQ(decoded->op, c.op);
    EXPECT_EQ(decoded->width, c.width);
    EXPECT_EQ(decoded->port_in_dx, c.port_in_dx);
    EXPECT_EQ(decoded->length, c.length);
    EXPECT_FALSE(decoded->rep);
  }
  EXPECT_EQ(decode({0xE6, 0xF8})->immediate, 0xF8);
}

TEST(PortInstruction, Prefixes)
{
  const auto rep_outsw = decode({0xF3, 0x66, 0x6F});
  ASSERT_TRUE(rep_outsw);
  EXPECT_TRUE(rep_outsw->rep);
  EXPECT_EQ(rep_outsw->width, 2u);
  EXPECT_EQ(rep_outsw->length, 3u);

  EXPECT_TRUE(decode({0xF2, 0x6E})->rep);   // repne repeats string I/O too
  EXPECT_FALSE(decode({0xF3, 0xEE})->rep);  // and means nothing to out

  const auto addr32 = decode({0x67, 0xF3, 0x6E});
  EXPECT_EQ(addr32->address_size, 4U);
  EXPECT_EQ(decode({0x64, 0x6E})->segment, SegmentOverride::fs);
  EXPECT_EQ(decode({0x65, 0x6E})->segment, SegmentOverride::gs);
  EXPECT_EQ(decode({0x2E, 0x3E, 0x6E})->segment, SegmentOverride::none);

  const auto rex = decode({0xF3, 0x48, 0x6F});  // REX.W does not widen port I/O
  ASSERT_TRUE(rex);
  EXPECT_EQ(rex->width, 4u);
  EXPECT_EQ(rex->length, 3u);

  const auto early_rex = decode({0x48, 0x66, 0xEE});  // a REX before other prefixes is ignored
  ASSERT_TRUE(early_rex);
  EXPECT_EQ(early_rex->op, PortOp::out);
  EXPECT_EQ(early_rex->width, 1u);
  EXPECT_EQ(early_rex->length, 3u);
}

TEST(PortInstruction, NotPortInstructions)
{
  EXPECT_FALSE(decode({}));
  EXPECT_FALSE(decode({0xF4}));              // hlt
  EXPECT_FALSE(decode({0xFA}));              // cli
  EXPECT_FALSE(decode({0x0F, 0x01, 0xF8}));  // swapgs
  EXPECT_FALSE(decode({0xE6}));              // immediate missing
  EXPECT_FALSE(decode({0xF3}));              // prefix only
  EXPECT_FALSE(decode({0xF0, 0xEE}));        // lock: #UD, not a port access
}

TEST(PortInstruction, FifteenByteLimit)
{
  std::vector<std::uint8_t> code(14, 0x66);
  code.push_back(0xEE);
  EXPECT_TRUE(decode(code));
  code.insert(code.begin(), 0x66);
  EXPECT_FALSE(decode(code));
}

}  // namespace
}  // namespace vuart

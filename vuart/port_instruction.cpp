#include "port_instruction.h"

namespace vuart {

namespace {

constexpr std::uint8_t lock_prefix = 0xF0;
constexpr std::uint8_t repne_prefix = 0xF2;
constexpr std::uint8_t rep_prefix = 0xF3;
constexpr std::uint8_t operand_size_prefix = 0x66;
constexpr std::uint8_t address_size_prefix = 0x67;
constexpr std::uint8_t fs_prefix = 0x64;
constexpr std::uint8_t gs_prefix = 0x65;

bool is_ignored_segment_prefix(std::uint8_t byte)
{
  return byte == 0x26 || byte == 0x2E || byte == 0x36 || byte == 0x3E;
}

bool is_rex(std::uint8_t byte)
{
  return (byte & 0xF0) == 0x40;
}

}  // namespace

std::optional<PortInstruction> decode_port_instruction(std::span<const std::uint8_t> code)
{
  PortInstruction decoded{PortOp::out, 1, false, true, 0, false, SegmentOverride::none, 0};
  bool operand_16bit = false;
  std::size_t at = 0;
  for (; at < code.size() && at < max_instruction_length; ++at) {
    const std::uint8_t byte = code[at];
    if (byte == lock_prefix) {
      return std::nullopt;  // lock on a port instruction is #UD, never a port access
    }
    if (byte == repne_prefix || byte == rep_prefix) {
      decoded.rep = true;
    } else if (byte == operand_size_prefix) {
      operand_16bit = true;
    } else if (byte == address_size_prefix) {
      decoded.address_32bit = true;
    } else if (byte == fs_prefix) {
      decoded.segment = SegmentOverride::fs;
    } else if (byte == gs_prefix) {
      decoded.segment = SegmentOverride::gs;
    } else if (!is_ignored_segment_prefix(byte) && !is_rex(byte)) {
      break;  // REX counts only right before the opcode, and no port instruction uses its bits
    }
  }
  if (at >= code.size() || at >= max_instruction_length) {
    return std::nullopt;
  }
  const std::uint8_t opcode = code[at++];
  const unsigned wide = operand_16bit ? 2 : 4;
  switch (opcode) {
  case 0xE4: case 0xE5: case 0xE6: case 0xE7:
    if (at >= code.size() || at >= max_instruction_length) {
      return std::nullopt;
    }
    decoded.op = opcode < 0xE6 ? PortOp::in : PortOp::out;
    decoded.width = (opcode & 1) ? wide : 1;
    decoded.port_in_dx = false;
    decoded.immediate = code[at++];
    break;
  case 0xEC: case 0xED: case 0xEE: case 0xEF:
    decoded.op = opcode < 0xEE ? PortOp::in : PortOp::out;
    decoded.width = (opcode & 1) ? wide : 1;
    break;
  case 0x6C: case 0x6D: case 0x6E: case 0x6F:
    decoded.op = opcode < 0x6E ? PortOp::ins : PortOp::outs;
    decoded.width = (opcode & 1) ? wide : 1;
    break;
  default:
    return std::nullopt;
  }
  if (decoded.op == PortOp::in || decoded.op == PortOp::out) {
    decoded.rep = false;
  }
  decoded.length = at;
  return decoded;
}

const char *op_name(PortOp op)
{
  switch (op) {
  case PortOp::in: return "in";
  case PortOp::out: return "out";
  case PortOp::ins: return "ins";
  case PortOp::outs: return "outs";
  }
  return "?";
}

}  // namespace vuart

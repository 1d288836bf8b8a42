#include "x86/port_instruction.h"

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

std::optional<PortInstruction> decode_port_instruction(std::span<const std::uint8_t> code, CodeMode mode)
{
  const bool long64 = mode == CodeMode::long64;
  PortInstruction decoded{PortOp::out, 1, false, true, 0, long64 ? 8U : 4U, SegmentOverride::none, 0};
  bool operand_16bit = false;
  bool rex_w = false;  // counts only in a REX prefix right before the opcode
  std::size_t at = 0;
  for (; at < code.size() && at < max_instruction_length; ++at) {
    const std::uint8_t byte = code[at];
    if (byte == lock_prefix) {
      return std::nullopt;  // lock on a port instruction is #UD, never a port access
    }
    if (long64 && is_rex(byte)) {  // in 32-bit code 0x40-0x4F are INC and DEC
      rex_w = (byte & 0x08U) != 0;
      continue;
    }
    if (byte == repne_prefix || byte == rep_prefix) {
      decoded.rep = true;
    } else if (byte == operand_size_prefix) {
      operand_16bit = true;
    } else if (byte == address_size_prefix) {
      decoded.address_size = long64 ? 4 : 2;
    } else if (byte == fs_prefix) {
      decoded.segment = SegmentOverride::fs;
    } else if (byte == gs_prefix) {
      decoded.segment = SegmentOverride::gs;
    } else if (!is_ignored_segment_prefix(byte)) {
      break;
    }
    rex_w = false;  // another prefix after a REX one voids it
  }
  if (at >= code.size() || at >= max_instruction_length) {
    return std::nullopt;
  }
  const std::uint8_t opcode = code[at++];
  // Each form comes as a pair: the even opcode moves a byte, the odd one a word or dword.
  switch (opcode & 0xFEU) {
  case 0xE4: decoded.op = PortOp::in; break;   // in al/eax, imm8
  case 0xE6: decoded.op = PortOp::out; break;  // out imm8, al/eax
  case 0xEC: decoded.op = PortOp::in; break;   // in al/eax, dx
  case 0xEE: decoded.op = PortOp::out; break;  // out dx, al/eax
  case 0x6C: decoded.op = PortOp::ins; break;
  case 0x6E: decoded.op = PortOp::outs; break;
  default: return std::nullopt;
  }
  // REX.W asks for 64 bits, which port instructions do not have: 32, whatever 0x66 says.
  decoded.width = (opcode & 1U) == 0 ? 1 : (operand_16bit && !rex_w ? 2 : 4);
  if ((opcode & 0xFCU) == 0xE4) {
    if (at >= code.size() || at >= max_instruction_length) {
      return std::nullopt;
    }
    decoded.port_in_dx = false;
    decoded.immediate = code[at++];
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

#pragma once
// Decoding of the x86 port I/O instructions: in, out, ins and outs with their
// prefixes, as the processor reads them in 64-bit mode or in 32-bit
// compatibility mode (an i386 program, or 64-bit code that switched to 32-bit).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace vuart {

enum class PortOp { in, out, ins, outs };

enum class SegmentOverride { none, fs, gs };  // the only overrides with an effect in 64-bit mode

// How the code segment has the processor read instructions.
enum class CodeMode { long64, compat32 };

struct PortInstruction {
  PortOp op;
  unsigned width;           // bytes per element: 1, 2 or 4
  bool rep;                 // F2 or F3 before ins/outs; meaningless for in/out
  bool port_in_dx;          // otherwise the port is the immediate
  std::uint8_t immediate;   // port number of in/out imm8
  unsigned address_size;    // bytes of the index and count registers: 8, 4 (ESI/EDI/ECX) or 2 (SI/DI/CX)
  SegmentOverride segment;  // applies to the outs source only
  std::size_t length;       // bytes the instruction occupies
};

constexpr std::size_t max_instruction_length = 15;

// The port instruction that starts at the first byte, or nothing when the bytes
// hold any other instruction (or too few bytes to tell).
std::optional<PortInstruction> decode_port_instruction(std::span<const std::uint8_t> code,
                                                       CodeMode mode = CodeMode::long64);

const char *op_name(PortOp op);

}  // namespace vuart

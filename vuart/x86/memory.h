#pragma once
// Memory as a port string instruction reaches it: a run of elements that the
// processor moves one after the other, stopping at the first it cannot move,
// with the fault it raises there.

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "x86/port_instruction.h"

namespace vuart {

enum class Direction { up, down };
constexpr std::uint64_t trap_flag = 1U << 8;        // RFLAGS.TF: a trap after each instruction or rep element
constexpr std::uint64_t direction_flag = 1U << 10;  // RFLAGS.DF: string instructions run down
// RFLAGS.RF: no instruction breakpoint on the next instruction; the processor
// clears it when an instruction completes.
constexpr std::uint64_t resume_flag = 1U << 16;

// A run of elements of one string instruction. The run never wraps its index
// register: with 32-bit addressing the executor splits it where ESI/EDI wrap.
struct Elements {
  std::uint64_t index;      // the index register for the first element, RSI for outs, RDI for ins
  SegmentOverride segment;  // whose base the source of outs adds; ins always writes through ES
  unsigned width;           // bytes per element: 1, 2 or 4
  std::uint64_t count;
  Direction direction;
  [[nodiscard]] std::size_t bytes() const { return count * width; }
};

// How far a run got: the elements moved, and what stopped it before the end.
struct Moved {
  std::uint64_t elements = 0;
  std::optional<siginfo_t> fault;  // the signal the processor raised at the next element
};

class Memory {
 public:
  Memory() = default;
  Memory(const Memory &) = delete;
  Memory &operator=(const Memory &) = delete;
  virtual ~Memory() = default;

  // Reads the elements as outs would, into `out` in transfer order.
  virtual Moved read(const Elements &elements, std::span<std::uint8_t> out) = 0;
  // How many of the elements, from the first on, ins could store now, changing nothing.
  virtual std::uint64_t writable(const Elements &elements) = 0;
  // Writes the elements as ins would, from `in` in transfer order.
  virtual Moved write(const Elements &elements, std::span<const std::uint8_t> in) = 0;
};

}  // namespace vuart

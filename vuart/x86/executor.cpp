#include "x86/executor.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace vuart {

namespace {

constexpr std::uint64_t chunk_bytes = 1U << 20;  // string transfers go through memory in pieces this size

void in_or_out(const PortInstruction &instruction, std::uint16_t port, user_regs_struct &regs, Bus &ports,
               PortRecord &record, const ByteObserver &observe)
{
  const std::uint64_t mask = instruction.width == 4 ? 0xFFFFFFFFU : (1U << (8 * instruction.width)) - 1;
  std::uint32_t value;
  if (instruction.op == PortOp::out) {
    value = static_cast<std::uint32_t>(regs.rax & mask);
    ports.write(port, instruction.width, value);
  } else {
    value = ports.read(port, instruction.width);
    // A 32-bit register write clears the upper half; narrower ones keep the rest.
    regs.rax = instruction.width == 4 ? value : (regs.rax & ~mask) | value;
  }
  std::array<std::uint8_t, 4> bytes{};
  std::memcpy(bytes.data(), &value, bytes.size());
  record.count = 1;
  if (observe) {
    observe(std::span(bytes).first(instruction.width));
  }
}

// How many elements, from `index` on, a 32- or 16-bit index register reaches
// before it wraps; a 64-bit one is left to the processor, which wraps and faults as it does.
std::uint64_t elements_before_wrap(std::uint64_t index, unsigned width, Direction direction, unsigned address_size)
{
  if (address_size == 8) {
    return ~0ULL;
  }
  if (direction == Direction::up) {
    return ((1ULL << (8 * address_size)) - index + width - 1) / width;  // the last one may start at the top
  }
  return index / width + 1;
}

// Moves one run between memory and the port: outs reads memory first, ins takes
// from the port only the elements that memory can hold (reading a device has
// side effects).
Moved move_run(bool out, std::uint16_t port, const Elements &run, Memory &memory, Bus &ports,
               std::vector<std::uint8_t> &bytes)
{
  const unsigned width = run.width;
  bytes.resize(run.bytes());
  if (out) {
    const Moved moved = memory.read(run, bytes);
    ports.write_elements(port, width, std::span(bytes).first(moved.elements * width));
    return moved;
  }
  const std::uint64_t holdable = memory.writable(run);
  ports.read_elements(port, width, std::span(bytes).first(holdable * width));
  // One element more, when there is one, so that the processor raises its own
  // fault there. Should that element have become writable meanwhile, it counts
  // as not done: the next run stores a byte from the port over it.
  Elements attempt = run;
  attempt.count = std::min(run.count, holdable + 1);
  Moved moved = memory.write(attempt, std::span(bytes).first(attempt.bytes()));
  if (moved.elements > holdable) {
    moved = Moved{holdable, std::nullopt};
  }
  return moved;
}

bool string_transfer(const PortInstruction &instruction, std::uint16_t port, user_regs_struct &regs, Memory &memory,
                     Bus &ports, const ByteObserver &observe, const ElementAllowance &allowance, Execution &execution)
{
  PortRecord &record = execution.record;
  const bool out = instruction.op == PortOp::outs;
  const unsigned width = instruction.width;
  const Direction direction = direction_of(regs);
  const std::uint64_t address_mask =
      instruction.address_size == 8 ? ~0ULL : (1ULL << (8 * instruction.address_size)) - 1;
  // A 32-bit register write clears the upper half; a 16-bit one keeps the rest.
  const auto written = [&](unsigned long long old_value, std::uint64_t value) -> unsigned long long {
    return instruction.address_size == 2 ? (old_value & ~address_mask) | (value & address_mask) : value & address_mask;
  };
  unsigned long long &index_register = out ? regs.rsi : regs.rdi;
  std::uint64_t remaining = instruction.rep ? regs.rcx & address_mask : 1;
  const SegmentOverride segment = out ? instruction.segment : SegmentOverride::none;

  std::vector<std::uint8_t> bytes;
  while (remaining > 0) {
    const std::uint64_t allowed = allowance ? allowance() : remaining;
    if (allowed == 0) {
      execution.result = Execution::Result::interrupted;
      return true;
    }
    const std::uint64_t index = index_register & address_mask;
    const Elements run{index, segment, width,
                       std::min({remaining, chunk_bytes / width, allowed,
                                 elements_before_wrap(index, width, direction, instruction.address_size)}),
                       direction};
    const Moved moved = move_run(out, port, run, memory, ports, bytes);
    if (moved.elements == 0 && !moved.fault) {
      execution.result = Execution::Result::interrupted;  // the thread could not go on: it ended
      return true;
    }
    if (observe) {
      observe(std::span(bytes).first(moved.elements * width));
    }
    if (moved.elements > 0) {
      // With 32- or 16-bit addressing the index and count are registers of that size.
      const std::uint64_t step = moved.elements * width;
      index_register = written(index_register, direction == Direction::up ? index + step : index - step);
      remaining -= moved.elements;
      if (instruction.rep) {
        regs.rcx = written(regs.rcx, remaining);
      }
      record.count += moved.elements;
    }
    if (moved.fault) {
      // The registers show the progress so far; once resumed the processor restarts the instruction.
      execution.fault = *moved.fault;
      record.fault = reinterpret_cast<std::uint64_t>(moved.fault->si_addr);
      return false;
    }
  }
  return true;
}

}  // namespace

std::uint16_t port_of(const PortInstruction &instruction, const user_regs_struct &regs)
{
  return instruction.port_in_dx ? static_cast<std::uint16_t>(regs.rdx) : instruction.immediate;
}

bool permitted(const PortInstruction &instruction, const user_regs_struct &regs, const IoPermissions &permissions)
{
  return permissions.allows(port_of(instruction, regs), instruction.width);
}

Direction direction_of(const user_regs_struct &regs)
{
  return (regs.eflags & direction_flag) != 0 ? Direction::down : Direction::up;
}

Execution execute(const PortInstruction &instruction, user_regs_struct &regs, Memory &memory, Bus &ports,
                  const ByteObserver &observe, const ElementAllowance &allowance)
{
  Execution execution{Execution::Result::completed, {}, {}};
  const std::uint16_t port = port_of(instruction, regs);
  if (instruction.op == PortOp::in || instruction.op == PortOp::out) {
    in_or_out(instruction, port, regs, ports, execution.record, observe);
  } else if (!string_transfer(instruction, port, regs, memory, ports, observe, allowance, execution)) {
    execution.result = Execution::Result::faulted;
    return execution;
  }
  if (execution.result == Execution::Result::completed) {
    regs.rip += instruction.length;
  }
  return execution;
}

}  // namespace vuart

#include "executor.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace vuart {

namespace {

constexpr std::uint64_t chunk_bytes = 1U << 20;  // string transfers go through memory in pieces this size
constexpr std::uint64_t lower_half_end = 1ULL << 47;
constexpr std::uint64_t upper_half_start = ~(lower_half_end - 1);

bool canonical(std::uint64_t address)
{
  return address < lower_half_end || address >= upper_half_start;
}

siginfo_t segv(int code, std::uint64_t address)
{
  siginfo_t fault{};
  fault.si_signo = SIGSEGV;
  fault.si_code = code;
  fault.si_addr = reinterpret_cast<void *>(address);  // NOLINT(performance-no-int-to-ptr): a tracee address
  return fault;
}

// A non-canonical address raises #GP, which Linux delivers as SIGSEGV from the kernel, address 0.
siginfo_t general_protection()
{
  return segv(SI_KERNEL, 0);
}

void in_or_out(const PortInstruction &instruction, std::uint16_t port, user_regs_struct &regs, PortSpace &ports,
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

// How many elements, from `first` on, stay within one run of addresses: they do
// not wrap the index register and do not leave canonical space.
std::uint64_t elements_in_run(std::uint64_t index, std::uint64_t first, unsigned width, Direction direction,
                              bool address_32bit)
{
  std::uint64_t most = ~0ULL;
  if (direction == Direction::up) {
    if (address_32bit) {
      most = ((1ULL << 32) - index + width - 1) / width;  // the last one may start at 0xFFFFFFFF
    }
    if (first < lower_half_end) {
      most = std::min(most, (lower_half_end - first) / width);
    } else {
      // An element may run past the top of the address space: it goes alone.
      most = std::min(most, std::max<std::uint64_t>(1, (0 - first) / width));
    }
  } else {
    // Going down, the index wraps below 0 (a 64-bit one into the kernel's half).
    const std::uint64_t bottom = first >= upper_half_start ? upper_half_start : 0;
    most = std::min(index, first - bottom) / width + 1;
  }
  return most;
}

// One run of elements of a string instruction, lowest address `low`, as the processor takes them.
struct Chunk {
  std::uint64_t low;
  std::uint64_t elements;
  unsigned width;
  Direction direction;
  std::vector<std::uint8_t> &bytes;  // the chunk's memory image, lowest address first

  // Element n in the order the processor takes them.
  [[nodiscard]] std::span<std::uint8_t> element(std::uint64_t n) const
  {
    return std::span(bytes).subspan((direction == Direction::up ? n : elements - 1 - n) * width, width);
  }
};

// Moves the chunk between memory and the port; returns how many elements went before memory stopped it.
std::uint64_t move_chunk(bool out, std::uint16_t port, const Chunk &chunk, Memory &memory, PortSpace &ports)
{
  chunk.bytes.resize(chunk.elements * chunk.width);
  if (out) {
    const std::uint64_t done = memory.read(chunk.low, chunk.bytes, chunk.direction) / chunk.width;
    for (std::uint64_t n = 0; n < done; ++n) {
      std::uint32_t value = 0;
      std::memcpy(&value, chunk.element(n).data(), chunk.width);
      ports.write(port, chunk.width, value);
    }
    return done;
  }
  // Reading the device has side effects: take only the elements that memory can hold.
  const std::uint64_t reachable = memory.writable(chunk.low, chunk.bytes.size(), chunk.direction) / chunk.width;
  for (std::uint64_t n = 0; n < reachable; ++n) {
    const std::uint32_t value = ports.read(port, chunk.width);
    std::memcpy(chunk.element(n).data(), &value, chunk.width);
  }
  const std::size_t skipped = chunk.direction == Direction::up ? 0 : (chunk.elements - reachable) * chunk.width;
  const auto written = std::span(chunk.bytes).subspan(skipped, reachable * chunk.width);
  return memory.write(chunk.low + skipped, written, chunk.direction) / chunk.width;
}

void observe_chunk(const ByteObserver &observe, const Chunk &chunk, std::uint64_t done)
{
  if (chunk.direction == Direction::up) {
    observe(std::span(chunk.bytes).first(done * chunk.width));
    return;
  }
  std::vector<std::uint8_t> in_order;  // going down, element by element from the top
  in_order.reserve(done * chunk.width);
  for (std::uint64_t n = 0; n < done; ++n) {
    const auto element = chunk.element(n);
    in_order.insert(in_order.end(), element.begin(), element.end());
  }
  observe(in_order);
}

// The processor faults on an element it cannot transfer at its first inaccessible byte.
std::uint64_t first_inaccessible(bool out, std::uint64_t element, unsigned width, Memory &memory)
{
  std::array<std::uint8_t, 4> probe{};
  return element + (out ? memory.read(element, std::span(probe).first(width), Direction::up)
                        : memory.writable(element, width, Direction::up));
}

bool string_transfer(const PortInstruction &instruction, std::uint16_t port, user_regs_struct &regs, Memory &memory,
                     PortSpace &ports, const ByteObserver &observe, const ElementAllowance &allowance,
                     Execution &execution)
{
  PortRecord &record = execution.record;
  const bool out = instruction.op == PortOp::outs;
  const unsigned width = instruction.width;
  const Direction direction = (regs.eflags & direction_flag) != 0 ? Direction::down : Direction::up;
  record.direction = direction;
  const std::uint64_t address_mask = instruction.address_32bit ? 0xFFFFFFFFULL : ~0ULL;
  unsigned long long &index_register = out ? regs.rsi : regs.rdi;
  std::uint64_t remaining = instruction.rep ? regs.rcx & address_mask : 1;
  std::uint64_t segment_base = 0;  // only the source of outs can be overridden, and only FS and GS have bases
  if (out && instruction.segment != SegmentOverride::none) {
    segment_base = instruction.segment == SegmentOverride::fs ? regs.fs_base : regs.gs_base;
  }

  std::vector<std::uint8_t> bytes;
  while (remaining > 0) {
    const std::uint64_t allowed = allowance ? allowance() : remaining;
    if (allowed == 0) {
      execution.result = Execution::Result::interrupted;
      return true;
    }
    const std::uint64_t index = index_register & address_mask;
    const std::uint64_t first = segment_base + index;  // the linear address of the chunk's first element
    if (!canonical(first) || !canonical(first + width - 1)) {
      execution.fault = general_protection();
      record.fault = 0;
      return false;
    }
    const std::uint64_t elements =
        std::min({remaining, chunk_bytes / width, allowed,
                  elements_in_run(index, first, width, direction, instruction.address_32bit)});
    // The chunk's lowest address: its first element going up, its last going down.
    const Chunk chunk{direction == Direction::up ? first : first - (elements - 1) * width, elements, width, direction,
                      bytes};
    const std::uint64_t done = move_chunk(out, port, chunk, memory, ports);
    if (observe) {
      observe_chunk(observe, chunk, done);
    }
    if (done > 0) {
      // With 32-bit addressing the index and count are 32-bit registers, whose writes clear the upper halves.
      const std::uint64_t step = done * width;
      index_register = (direction == Direction::up ? index + step : index - step) & address_mask;
      remaining -= done;
      if (instruction.rep) {
        regs.rcx = remaining;
      }
      record.count += done;
    }
    if (done < elements) {
      // The registers show the progress so far; once resumed the processor restarts the instruction.
      const std::uint64_t bad = first_inaccessible(
          out, direction == Direction::up ? first + done * width : first - done * width, width, memory);
      execution.fault = segv(memory.mapped(bad) ? SEGV_ACCERR : SEGV_MAPERR, bad);
      record.fault = bad;
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

Execution execute(const PortInstruction &instruction, user_regs_struct &regs, const IoPermissions &permissions,
                  Memory &memory, PortSpace &ports, const ByteObserver &observe, const ElementAllowance &allowance)
{
  Execution execution{Execution::Result::completed, {}, {}};
  const std::uint16_t port = port_of(instruction, regs);
  execution.record.port = port;
  if (!permissions.allows(port, instruction.width)) {
    execution.result = Execution::Result::not_permitted;
    return execution;
  }
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

#pragma once
// Carries out one port instruction as the processor does, on the virtual port
// space: registers, memory and faults exactly as hardware with port access
// would leave them.

#include <sys/user.h>

#include <csignal>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "devices/bus.h"
#include "x86/io_permissions.h"
#include "x86/memory.h"
#include "x86/port_instruction.h"

namespace vuart {

// What the trace records of one instruction's outcome.
struct PortRecord {
  std::uint64_t count = 0;             // elements transferred
  std::optional<std::uint64_t> fault;  // the address the transfer stopped at
};

struct Execution {
  enum class Result {
    completed,    // RIP is past the instruction
    interrupted,  // the element limit came first: the registers show the progress, RIP is unchanged
    faulted,      // a page fault or #GP after what could be done: deliver `fault`
  } result;
  siginfo_t fault;
  PortRecord record;
};

// Receives the bytes an instruction moves, in transfer order, a piece at a time.
using ByteObserver = std::function<void(std::span<const std::uint8_t>)>;

// The port an instruction at these registers addresses.
std::uint16_t port_of(const PortInstruction &instruction, const user_regs_struct &regs);

// Whether the thread's permissions cover every port the instruction touches;
// where they do not, the kernel's own SIGSEGV stands.
bool permitted(const PortInstruction &instruction, const user_regs_struct &regs, const IoPermissions &permissions);

// The way a string instruction's index registers move.
Direction direction_of(const user_regs_struct &regs);

// How many more elements a string instruction may move now: asked before each
// piece of it, so that a long transfer goes on as its output drains.
using ElementAllowance = std::function<std::uint64_t()>;

// Executes `instruction`, which starts at regs.rip and is permitted, updating `regs`. The bytes
// moved go to `observe`, when given. Memory is used in pieces of at most 1 MiB.
// A string instruction stops where `allowance` says 0, as the processor does
// when an interrupt comes between two elements: restarting it carries on.
Execution execute(const PortInstruction &instruction, user_regs_struct &regs, Memory &memory, Bus &ports,
                  const ByteObserver &observe = {}, const ElementAllowance &allowance = {});

}  // namespace vuart

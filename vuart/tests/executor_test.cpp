#include "x86/executor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "devices/pc_ports.h"

namespace vuart {
namespace {

constexpr std::uint64_t page = 4096;

// Pages mapped readable, read-only or not at all; everything else unmapped. Like
// the processor, it moves whole elements and faults at an element's first byte
// it cannot reach.
class FakeMemory final : public Memory {
 public:
  enum class Access { none, read_only, read_write };

  void map(std::uint64_t address, Access access, std::uint8_t fill)
  {
    pages_[address / page] = {access, std::vector<std::uint8_t>(page, fill)};
  }
  std::uint8_t &at(std::uint64_t address) { return pages_.at(address / page).bytes[address % page]; }

  Moved read(const Elements &elements, std::span<std::uint8_t> out) override
  {
    return move(elements, Access::read_only,
                [&](std::uint64_t byte, std::uint64_t address) { out[byte] = at(address); });
  }
  std::uint64_t writable(const Elements &elements) override
  {
    return move(elements, Access::read_write, [](std::uint64_t, std::uint64_t) {}).elements;
  }
  Moved write(const Elements &elements, std::span<const std::uint8_t> in) override
  {
    return move(elements, Access::read_write,
                [&](std::uint64_t byte, std::uint64_t address) { at(address) = in[byte]; });
  }

 private:
  struct Page {
    Access access;
    std::vector<std::uint8_t> bytes;
  };
  static siginfo_t segv(int code, std::uint64_t address)
  {
    siginfo_t fault{};
    fault.si_signo = SIGSEGV;
    fault.si_code = code;
    fault.si_addr = reinterpret_cast<void *>(address);
    return fault;
  }
  // Calls each(byte of the transfer, its address) for every element it can move.
  template <typename Each> Moved move(const Elements &elements, Access needed, Each each)
  {
    for (std::uint64_t n = 0; n < elements.count; ++n) {
      const std::uint64_t element = elements.direction == Direction::up ? elements.index + n * elements.width
                                                                        : elements.index - n * elements.width;
      for (std::uint64_t i = 0; i < elements.width; ++i) {
        const std::uint64_t address = element + i;
        if (address >= (1ULL << 47) && address < ~((1ULL << 47) - 1)) {
          return {n, segv(SI_KERNEL, 0)};  // non-canonical: #GP
        }
        const auto found = pages_.find(address / page);
        if (found == pages_.end() || found->second.access < needed) {
          return {n, segv(found == pages_.end() ? SEGV_MAPERR : SEGV_ACCERR, address)};
        }
      }
      for (std::uint64_t i = 0; i < elements.width; ++i) {
        each(n * elements.width + i, element + i);
      }
    }
    return {elements.count, std::nullopt};
  }

  std::map<std::uint64_t, Page> pages_;
};

class ExecutorTest : public ::testing::Test {
 protected:
  ExecutorTest() { permissions.iopl(3); }

  Execution run(std::vector<std::uint8_t> code)
  {
    const auto instruction = decode_port_instruction(code);
    EXPECT_TRUE(instruction);
    regs.rdx = 0x3F8;
    moved.clear();
    return execute(*instruction, regs, memory, ports, [this](std::span<const std::uint8_t> bytes) {
      moved.insert(moved.end(), bytes.begin(), bytes.end());
    });
  }

  std::string sent;
  std::vector<std::uint8_t> moved;  // what the last instruction moved, as the trace sees it
  PcPorts pc{{SerialLine{[this](std::span<const std::uint8_t> bytes) { sent.append(bytes.begin(), bytes.end()); }, {}}},
             {}};
  Bus &ports = pc.bus();
  IoPermissions permissions;
  FakeMemory memory;
  user_regs_struct regs{};
};

TEST_F(ExecutorTest, AddressSize32WrapsWithinOneTransfer)
{
  memory.map(0xFFFFF000, FakeMemory::Access::read_only, 'a');
  memory.map(0x100000000, FakeMemory::Access::read_only, '!');  // never reached: 32-bit indexes wrap to 0
  regs.rsi = 0xABCD0000FFFFFFFE;
  regs.rcx = 0x1234000000000004;
  const Execution faulted = run({0x67, 0xF3, 0x6E});  // addr32 rep outsb; page 0 is unmapped
  EXPECT_EQ(faulted.result, Execution::Result::faulted);
  EXPECT_EQ(sent, "aa");
  EXPECT_EQ((std::pair{regs.rsi, regs.rcx}), (std::pair{0ULL, 2ULL}));  // 32-bit writes cleared the upper halves
  EXPECT_EQ(faulted.fault.si_code, SEGV_MAPERR);
  EXPECT_EQ(faulted.fault.si_addr, nullptr);  // the wrapped address

  memory.map(0, FakeMemory::Access::read_only, 'b');
  EXPECT_EQ(run({0x67, 0xF3, 0x6E}).result, Execution::Result::completed);
  EXPECT_EQ(sent, "aabb");
  EXPECT_EQ((std::pair{regs.rsi, regs.rcx}), (std::pair{2ULL, 0ULL}));
}

TEST_F(ExecutorTest, NothingChangesWhenTheFirstElementFaults)
{
  regs.rsi = 0xDEAD00005000;
  regs.rdi = 0xBEEF00006000;
  regs.rcx = 0x7777000000000003;
  for (const auto &code : {std::vector<std::uint8_t>{0x67, 0xF3, 0x6E}, {0x67, 0xF3, 0x6D}, {0xF3, 0x6F}}) {
    const user_regs_struct before = regs;
    const Execution faulted = run(code);
    EXPECT_EQ(faulted.result, Execution::Result::faulted);
    EXPECT_EQ(faulted.record.count, 0u);
    EXPECT_EQ(std::make_tuple(regs.rsi, regs.rdi, regs.rcx, regs.rip),
              std::make_tuple(before.rsi, before.rdi, before.rcx, before.rip));
  }
}

TEST_F(ExecutorTest, InsNeverWritesPartOfAnElement)
{
  memory.map(0x10000, FakeMemory::Access::read_write, 0xEE);
  memory.map(0x11000, FakeMemory::Access::read_only, 0xEE);
  ports.write(0x3FF, 1, 0x5A);
  regs.rdx = 0x3FE;  // MSR and scratch: 0xB0, 0x5A
  const auto instruction = decode_port_instruction(std::vector<std::uint8_t>{0xF3, 0x66, 0x6D});  // rep insw
  regs.rdi = 0x10FFD;
  regs.rcx = 2;  // the second word straddles into the read-only page
  const Execution straddling = execute(*instruction, regs, memory, ports);
  EXPECT_EQ(straddling.record.count, 1u);
  EXPECT_EQ(memory.at(0x10FFD), 0xB0);
  EXPECT_EQ(memory.at(0x10FFE), 0x5A);
  EXPECT_EQ(straddling.result, Execution::Result::faulted);
  EXPECT_EQ(memory.at(0x10FFF), 0xEE);  // the byte before the boundary keeps its old value
  EXPECT_EQ(straddling.fault.si_code, SEGV_ACCERR);
  EXPECT_EQ(straddling.fault.si_addr, reinterpret_cast<void *>(0x11000));
}

TEST_F(ExecutorTest, DownwardElementFaultsAtTheFirstInaccessibleByte)
{
  memory.map(0x20000, FakeMemory::Access::read_only, 'x');  // 0x21000 is unmapped
  regs.eflags = direction_flag;
  regs.rsi = 0x20FFE;  // a dword running up into the unmapped page
  const Execution faulted = run({0x6F});
  EXPECT_EQ(faulted.result, Execution::Result::faulted);
  EXPECT_EQ(faulted.fault.si_code, SEGV_MAPERR);
  EXPECT_EQ(faulted.fault.si_addr, reinterpret_cast<void *>(0x21000));
  EXPECT_EQ(regs.rsi, 0x20FFEu);
}

TEST_F(ExecutorTest, BelowZeroAndNonCanonical)
{
  memory.map(0, FakeMemory::Access::read_only, 'z');
  regs.eflags = direction_flag;
  regs.rsi = 2;
  regs.rcx = 5;
  const Execution below_zero = run({0xF3, 0x6E});  // std; rep outsb from 2 down past 0, into the kernel's half
  EXPECT_EQ(below_zero.result, Execution::Result::faulted);
  EXPECT_EQ(sent, "zzz");
  EXPECT_EQ((std::pair{regs.rsi, regs.rcx}), (std::pair{~0ULL, 2ULL}));
  EXPECT_EQ(below_zero.fault.si_code, SEGV_MAPERR);
  EXPECT_EQ(below_zero.fault.si_addr, reinterpret_cast<void *>(~0ULL));

  regs.eflags = 0;
  regs.rsi = ~0ULL;  // a dword from the last byte of the address space, running past its top
  const Execution at_the_top = run({0x6F});
  EXPECT_EQ(at_the_top.fault.si_code, SEGV_MAPERR);
  EXPECT_EQ(at_the_top.fault.si_addr, reinterpret_cast<void *>(~0ULL));

  regs.rsi = 0x8000000000000000;
  const Execution non_canonical = run({0xF3, 0x6E});  // #GP: from the kernel, address 0
  EXPECT_EQ(non_canonical.fault.si_code, SI_KERNEL);
  EXPECT_EQ(non_canonical.fault.si_addr, nullptr);
  EXPECT_EQ(regs.rsi, 0x8000000000000000u);
  EXPECT_EQ(sent, "zzz");
}

TEST_F(ExecutorTest, OperandSizeAndPermissions)
{
  regs.rax = 0x11223344;
  run({0x66, 0x48, 0xEF});
  EXPECT_EQ(moved.size(), 4u);  // REX.W right before the opcode wins over 0x66
  run({0x48, 0x66, 0xEF});
  EXPECT_EQ(moved.size(), 2u);  // a REX prefix not before the opcode counts for nothing
  IoPermissions none;
  const auto out = decode_port_instruction(std::vector<std::uint8_t>{0xEE});
  EXPECT_FALSE(permitted(*out, regs, none));
  EXPECT_TRUE(permitted(*out, regs, permissions));
  EXPECT_FALSE(decode_port_instruction(std::vector<std::uint8_t>{0xF0, 0xEE}));  // LOCK: #UD, not a port access
}

}  // namespace
TEST_F(ExecutorTest, AnAllowanceStopsARepThatCarriesOnWhenRestarted)
{
  memory.map(0x10000, FakeMemory::Access::read_only, 'z');
  regs.rsi = 0x10000;
  regs.rcx = 5;
  regs.rdx = 0x3F8;
  regs.rip = 0x400000;
  std::vector<std::uint64_t> allowed = {3, 0};
  const auto instruction = decode_port_instruction(std::vector<std::uint8_t>{0xF3, 0x6E});  // rep outsb
  const ElementAllowance allowance = [&] { return std::exchange(allowed.front(), allowed.back()); };
  const Execution stopped = execute(*instruction, regs, memory, ports, {}, allowance);
  EXPECT_EQ(stopped.result, Execution::Result::interrupted);
  EXPECT_EQ(std::make_tuple(sent, regs.rsi, regs.rcx, regs.rip), std::make_tuple("zzz", 0x10003ULL, 2ULL, 0x400000ULL));
  EXPECT_EQ(execute(*instruction, regs, memory, ports).result, Execution::Result::completed);
  EXPECT_EQ(std::make_tuple(sent, regs.rsi, regs.rcx, regs.rip),
            std::make_tuple("zzzzz", 0x10005ULL, 0ULL, 0x400002ULL));
}

TEST_F(ExecutorTest, AddressSize32ElementStraddlingFourGiBIsTakenWhole)
{
  memory.map(0xFFFFF000, FakeMemory::Access::read_only, 'a');
  memory.map(0x100000000, FakeMemory::Access::read_only, 'b');  // the straddling word's high byte
  memory.map(0, FakeMemory::Access::read_only, 'c');
  regs.rsi = 0xFFFFFFFF;
  regs.rcx = 2;
  EXPECT_EQ(run({0x67, 0xF3, 0x66, 0x6F}).result, Execution::Result::completed);  // addr32 rep outsw
  EXPECT_EQ(moved, (std::vector<std::uint8_t>{'a', 'b', 'c', 'c'}));
  EXPECT_EQ((std::pair{regs.rsi, regs.rcx}), (std::pair{3ULL, 0ULL}));
}

}  // namespace vuart

// port_corpus CASE: port instructions with their edge cases, each run with
// chosen registers in a stub of its own, printing what the program observes:
// the registers afterwards, the signal, its code and address, and a digest of
// the memory it may write. What goes out goes to COM1. The same static binary
// runs under vuart and in a virtual machine, and the outputs must agree.
//
// port_corpus random SEED SEQUENCES [64]: seeded random short sequences of port
// instructions (prefixes, widths, counts, direction, addresses near page edges
// and near 4 GiB, 64-bit or 32-bit code, the trap flag); with 64, no 32-bit code.
#include <asm/prctl.h>
#include <linux/hw_breakpoint.h>
#include <linux/perf_event.h>
#include <pthread.h>
#include <sys/io.h>
#include <sys/mman.h>
#include <sys/personality.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <tuple>

#include <vector>

#include "fixture_cases.h"

namespace {

struct Registers {
  std::uint64_t rax, rcx, rdx, rsi, rdi, flags;
};

constexpr std::uint64_t direction_flag = 1U << 10;
constexpr std::uint64_t alignment_check = 1U << 18;
constexpr std::uint64_t trap_flag = 1U << 8;
constexpr std::uint64_t code_base = 0x30000000;
constexpr std::uint64_t gs_base = 0x200000000;
constexpr std::uint64_t page = 4096;
constexpr std::uint16_t com1 = 0x3F8;

struct Area {
  std::uint64_t address;
  int protection;
};
// Readable and writable pages, a read-only one, a hole, an inaccessible one, the
// pages below 4 GiB, and the pages GS addresses with 32-bit indexes.
constexpr std::array<Area, 10> areas = {{{0x40000000, PROT_READ | PROT_WRITE},
                                         {0x40001000, PROT_READ | PROT_WRITE},
                                         {0x40002000, PROT_READ},
                                         {0x40004000, PROT_READ | PROT_WRITE},
                                         {0x40005000, PROT_NONE},
                                         {0xFFFFE000, PROT_READ | PROT_WRITE},
                                         {0xFFFFF000, PROT_READ | PROT_WRITE},
                                         {gs_base, PROT_READ | PROT_WRITE},
                                         {gs_base + 0xFFFFF000, PROT_READ | PROT_WRITE},
                                         {0x40006000, PROT_READ | PROT_WRITE}}};

// Memory of other kinds: a write-only page (which the processor reads all the
// same), a file of a page and 100 bytes mapped shared and private for three
// pages (the third lies past its end: SIGBUS), and a mapping that grows down,
// like a stack, with nothing below it for the kernel's guard gap.
constexpr std::uint64_t write_only = 0x40008000;
constexpr std::uint64_t file_shared = 0x50000000;
constexpr std::uint64_t file_private = 0x50100000;
constexpr std::uint64_t file_bytes = page + 100;
constexpr std::uint64_t grows_down = 0x50800000;
constexpr std::uint64_t execute_only = 0x60000000;  // with protection keys, data accesses fault there
constexpr std::array<std::uint64_t, 5> filled_pages = {write_only, file_shared, file_shared + page, file_private,
                                                       file_private + page};

std::uint8_t pattern(std::uint64_t address, unsigned seed)
{
  // Below 0x80: a byte that lands in the line control register never sets DLAB.
  return static_cast<std::uint8_t>(((address >> 3) ^ (address * 13) ^ seed) & 0x7F);
}

// The pages the program writes, which the digest covers.
std::vector<std::uint64_t> writable_pages()
{
  std::vector<std::uint64_t> pages(filled_pages.begin(), filled_pages.end());
  for (const Area &area : areas) {
    if ((area.protection & PROT_WRITE) != 0) {
      pages.push_back(area.address);
    }
  }
  return pages;
}

void fill(unsigned seed)
{
  for (const std::uint64_t address : writable_pages()) {
    auto *bytes = reinterpret_cast<std::uint8_t *>(address);
    for (std::uint64_t i = 0; i < page; ++i) {
      bytes[i] = pattern(address + i, seed);
    }
  }
}

std::uint64_t memory_digest()
{
  std::uint64_t hash = 0xcbf29ce484222325;
  for (const std::uint64_t address : writable_pages()) {
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(address);
    for (std::uint64_t i = 0; i < page; ++i) {
      hash = (hash ^ bytes[i]) * 0x100000001b3;
    }
  }
  return hash;
}

void *map_at(std::uint64_t address, std::uint64_t length, int protection, int flags, int fd)
{
  void *mapped = mmap(reinterpret_cast<void *>(address), length, protection, flags | MAP_FIXED_NOREPLACE, fd, 0);
  if (mapped != reinterpret_cast<void *>(address)) {
    std::printf("mmap %#lx: %s\n", address, std::strerror(errno));
    std::exit(1);
  }
  return mapped;
}

void map_other_kinds()
{
  map_at(write_only, page, PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1);
  const int file = memfd_create("port_corpus", 0);
  if (file < 0 || ftruncate(file, file_bytes) != 0) {
    std::printf("memfd: %s\n", std::strerror(errno));
    std::exit(1);
  }
  map_at(file_shared, 3 * page, PROT_READ | PROT_WRITE, MAP_SHARED, file);
  map_at(file_private, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE, file);
  close(file);
  map_at(grows_down, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_GROWSDOWN, -1);
  map_at(execute_only, page, PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1);
}

void set_up()
{
  for (const Area &area : areas) {
    map_at(area.address, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1);
  }
  map_other_kinds();
  fill(0);
  for (const Area &area : areas) {
    mprotect(reinterpret_cast<void *>(area.address), page, area.protection);
  }
  if (mmap(reinterpret_cast<void *>(code_base), page, PROT_READ | PROT_WRITE | PROT_EXEC,
           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0) != reinterpret_cast<void *>(code_base) ||
      syscall(SYS_arch_prctl, ARCH_SET_GS, gs_base) != 0) {
    std::printf("set up: %s\n", std::strerror(errno));
    std::exit(1);
  }
}

// COM1 as a known start: no interrupts, FIFOs reset, 8 data bits, no modem lines.
void reset_uart()
{
  outb(0x00, com1 + 1);
  outb(0x06, com1 + 2);
  outb(0x03, com1 + 3);
  outb(0x00, com1 + 4);
  for (const int offset : {2, 5, 6, 0}) {
    inb(static_cast<unsigned short>(com1 + offset));
  }
}

sigjmp_buf recovery;
struct Fault {
  int signal;
  int code;
  std::uint64_t address;
  std::uint64_t at;  // offset of the faulting instruction in the stub
  long long trapno, error, cr2;
} fault;
Registers observed;
bool code_execute_only = false;  // run the instruction from an execute-only page
bool code_compat = false;        // run it in 32-bit compatibility mode: far jumps to selector 0x23 and back
// 32-bit code keeps only the low halves of the registers on some hypervisors: it runs on a stack below 4 GiB.
alignas(16) std::array<std::uint8_t, 65536> low_stack;
std::uint64_t saved_stack;
// 32-bit code addresses memory through DS and ES, which must hold the user data segment there, not null.
std::uint16_t user_data_segment = 0x2B;

void catch_signal(int signal, siginfo_t *info, void *context)
{
  // The handler runs with the interrupted code's alignment check: the C code here must not.
  asm volatile("pushfq\n\tandl $~0x40000, (%%rsp)\n\tpopfq" ::: "memory", "cc");
  const auto *registers = static_cast<ucontext_t *>(context)->uc_mcontext.gregs;
  fault = {signal,
           info->si_code,
           reinterpret_cast<std::uint64_t>(info->si_addr),
           static_cast<std::uint64_t>(registers[REG_RIP]) - code_base,
           registers[REG_TRAPNO],
           registers[REG_ERR],
           registers[REG_CR2]};
  observed = {static_cast<std::uint64_t>(registers[REG_RAX]), static_cast<std::uint64_t>(registers[REG_RCX]),
              static_cast<std::uint64_t>(registers[REG_RDX]), static_cast<std::uint64_t>(registers[REG_RSI]),
              static_cast<std::uint64_t>(registers[REG_RDI]), static_cast<std::uint64_t>(registers[REG_EFL])};
  siglongjmp(recovery, 1);
}

void catch_signals()
{
  struct sigaction action {};
  action.sa_sigaction = catch_signal;
  action.sa_flags = SA_SIGINFO;
  for (const int signal : {SIGSEGV, SIGILL, SIGBUS, SIGTRAP}) {
    sigaction(signal, &action, nullptr);
  }
}

constexpr std::uint8_t prologue[] = {
    0x49, 0x89, 0xFB,        // mov r11, rdi
    0x49, 0x8B, 0x03,        // mov rax, [r11]
    0x49, 0x8B, 0x4B, 0x08,  // mov rcx, [r11 + 8]
    0x49, 0x8B, 0x53, 0x10,  // mov rdx, [r11 + 16]
    0x49, 0x8B, 0x73, 0x18,  // mov rsi, [r11 + 24]
    0x49, 0x8B, 0x7B, 0x20,  // mov rdi, [r11 + 32]
};
constexpr std::uint8_t epilogue[] = {
    0x9C,                                      // pushfq
    0x41, 0x8F, 0x43, 0x28,                    // pop qword [r11 + 40]
    0xFC,                                      // cld
    0x9C,                                      // pushfq
    0x81, 0x24, 0x24, 0xFF, 0xFF, 0xFB, 0xFF,  // and dword [rsp], ~AC
    0x9D,                                      // popfq
    0x49, 0x89, 0x03,                          // mov [r11], rax
    0x49, 0x89, 0x4B, 0x08,                    // mov [r11 + 8], rcx
    0x49, 0x89, 0x53, 0x10,                    // mov [r11 + 16], rdx
    0x49, 0x89, 0x73, 0x18,                    // mov [r11 + 24], rsi
    0x49, 0x89, 0x7B, 0x20,                    // mov [r11 + 32], rdi
    0xC3,                                      // ret
};

// Runs one instruction with the given registers and prints what became of them;
// returns the signal that stopped it, or 0.
int run(const std::vector<std::uint8_t> &code, Registers registers)
{
  std::vector<std::uint8_t> stub(std::begin(prologue), std::end(prologue));
  const auto append32 = [&stub](std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
      stub.push_back(static_cast<std::uint8_t>(value >> shift));
    }
  };
  std::size_t far_jump = 0;
  const auto low_address = [](const void *address) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address));
  };
  const std::array<std::uint8_t, 4> push_flags = {0x41, 0xFF, 0x73, 0x28};  // push qword [r11 + 40]
  if (code_compat) {
    stub.insert(stub.end(), {0x48, 0x89, 0x24, 0x25});  // mov [saved_stack], rsp
    append32(low_address(&saved_stack));
    stub.insert(stub.end(), {0x48, 0xC7, 0xC4});  // mov rsp, the top of low_stack
    append32(low_address(low_stack.data() + low_stack.size()));
    for (const std::uint8_t segment : {std::uint8_t{0x1C}, std::uint8_t{0x04}}) {  // mov ds, es, [user_data_segment]
      stub.insert(stub.end(), {0x8E, segment, 0x25});
      append32(low_address(&user_data_segment));
    }
    stub.insert(stub.end(), push_flags.begin(), push_flags.end());
    far_jump = stub.size();
    stub.insert(stub.end(), {0xFF, 0x2D});  // jmp far [rip + rel32]: to the instruction, in 32-bit code
    append32(0);
  } else {
    stub.insert(stub.end(), push_flags.begin(), push_flags.end());
  }
  // popfd in 32-bit code, popfq in 64-bit: with the trap flag set, the trap comes after the instruction.
  const std::size_t flags_at = stub.size();
  stub.push_back(0x9D);
  const std::size_t instruction_at = stub.size();
  stub.insert(stub.end(), code.begin(), code.end());
  if (code_compat) {
    stub.push_back(0xEA);  // jmp 0x33:epilogue, back to 64-bit code
    append32(static_cast<std::uint32_t>(code_base + stub.size() + 6));
    stub.insert(stub.end(), {0x33, 0x00});
    stub.insert(stub.end(), {0x48, 0x8B, 0x24, 0x25});  // mov rsp, [saved_stack]
    append32(low_address(&saved_stack));
  }
  stub.insert(stub.end(), std::begin(epilogue), std::end(epilogue));
  if (code_compat) {
    const auto rel32 = static_cast<std::uint32_t>(stub.size() - (far_jump + 6));
    std::memcpy(&stub[far_jump + 2], &rel32, sizeof rel32);
    append32(static_cast<std::uint32_t>(code_base + flags_at));  // the far pointer: offset, selector
    stub.insert(stub.end(), {0x23, 0x00});
  }
  std::memcpy(reinterpret_cast<void *>(code_base), stub.data(), stub.size());
  std::string hex;
  for (const std::uint8_t byte : code) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  std::printf("%s rax=%lx rcx=%lx rdx=%lx rsi=%lx rdi=%lx df=%d%s%s -> ", hex.c_str(), registers.rax, registers.rcx,
              registers.rdx, registers.rsi, registers.rdi, (registers.flags & direction_flag) != 0,
              code_compat ? " code32" : "", (registers.flags & trap_flag) != 0 ? " tf" : "");
  registers.flags &= direction_flag | alignment_check | trap_flag;
  registers.flags |= 0x202;
  observed = registers;
  int stopped_by = 0;
  if (code_execute_only) {
    mprotect(reinterpret_cast<void *>(code_base), page, PROT_EXEC);
  }
  const bool returned = sigsetjmp(recovery, 1) == 0;
  if (returned) {
    reinterpret_cast<void (*)(Registers *)>(code_base)(&observed);
  }
  mprotect(reinterpret_cast<void *>(code_base), page, PROT_READ | PROT_WRITE | PROT_EXEC);
  if (returned) {
    std::printf("ok");
  } else if (fault.at != instruction_at) {
    std::printf("signal %d outside the instruction, at %lu, code=%d addr=%lx trapno=%lld", fault.signal, fault.at,
                fault.code, fault.address, fault.trapno);
  } else {
    std::printf("%s code=%d addr=%lx trapno=%lld err=%lld cr2=%llx", sigabbrev_np(fault.signal), fault.code,
                fault.address, fault.trapno, fault.error, fault.cr2);
    stopped_by = fault.signal;
  }
  std::printf(" rax=%lx rcx=%lx rdx=%lx rsi=%lx rdi=%lx df=%d mem=%016lx\n", observed.rax, observed.rcx, observed.rdx,
              observed.rsi, observed.rdi, (observed.flags & direction_flag) != 0, memory_digest());
  std::fflush(stdout);
  return stopped_by;
}

bool grant_all()
{
  if (iopl(3) != 0) {
    return false;
  }
  reset_uart();
  return true;
}

constexpr std::uint64_t df = direction_flag;

// Each class with its edge cases: {code, rax, rcx, rdx, rsi, rdi, flags}.
struct Entry {
  std::vector<std::uint8_t> code;
  Registers registers;
};

void run_all(const std::vector<Entry> &entries)
{
  if (!grant_all()) {
    std::printf("iopl: %s\n", std::strerror(errno));
    return;
  }
  for (const Entry &entry : entries) {
    run(entry.code, entry.registers);
  }
}

void in_and_out()
{
  const std::uint64_t rax = 0x1122334455667748;
  run_all({{{0xEE}, {rax, 0, com1, 0, 0, 0}},
           {{0x66, 0xEF}, {rax, 0, 0xABCD0000 | com1, 0, 0, 0}},
           {{0xEF}, {0x00000000007F7F41, 0, com1, 0, 0, 0}},
           {{0xE6, 0x80}, {rax, 0, 0, 0, 0, 0}},
           {{0xE4, 0x80}, {rax, 0, 0, 0, 0, 0}},
           {{0x66, 0xE5, 0x80}, {rax, 0, 0, 0, 0, 0}},
           {{0xE5, 0x80}, {rax, 0, 0, 0, 0, 0}},
           {{0xEC}, {rax, 0, 0x3FD, 0, 0, 0}},
           {{0x66, 0xED}, {rax, 0, 0x3FC, 0, 0, 0}},
           {{0xED}, {rax, 0, 0x3FC, 0, 0, 0}},
           {{0x66, 0x48, 0xED}, {rax, 0, 0x3FC, 0, 0, 0}},  // REX.W right before the opcode: 32 bits
           {{0xF3, 0xEE}, {0x42, 0, com1, 0, 0, 0}}});
}

void strings()
{
  run_all({{{0xF3, 0x6E}, {0, 5, com1, 0x40000FFE, 0, 0}},  // across a page boundary
           {{0xF3, 0x6E}, {0, 5, com1, 0x40001002, 0, df}},
           {{0xF3, 0x66, 0x6F}, {0, 3, com1, 0x40000100, 0, 0}},
           {{0xF3, 0x6F}, {0, 2, com1, 0x40000200, 0, df}},
           {{0xF2, 0x6E}, {0, 2, com1, 0x40000300, 0, 0}},
           {{0x6E}, {0, 7, com1, 0x40000400, 0, df}},
           {{0xF3, 0x6E}, {0, 0, com1, 0x40000500, 0, 0}},
           {{0xF3, 0x6C}, {0, 4, 0x3FD, 0, 0x40000600, 0}},
           {{0xF3, 0x66, 0x6D}, {0, 3, 0x3FC, 0, 0x40001FFC, 0}},
           {{0xF3, 0x6D}, {0, 3, 0x3F9, 0, 0x40000700, df}},
           {{0x6D}, {0, 9, 0x3FC, 0, 0x40000800, 0}}});
}

void faults()
{
  run_all({{{0xF3, 0x6E}, {0, 20, com1, 0x40002FF6, 0, 0}},        // the read-only page, then the hole
           {{0xF3, 0x6E}, {0, 20, com1, 0x40004005, 0, df}},       // down into the hole
           {{0xF3, 0x6E}, {0, 20, com1, 0x40004FFA, 0, 0}},        // into the inaccessible page
           {{0xF3, 0x6C}, {0, 9, 0x3FD, 0, 0x40001FFC, 0}},        // ins into the read-only page
           {{0xF3, 0x66, 0x6D}, {0, 3, 0x3FC, 0, 0x40001FFB, 0}},  // a word straddling into it
           {{0xF3, 0x6D}, {0, 2, 0x3FC, 0, 0x40000FFE, 0}},
           {{0x6F}, {0, 0, com1, 0x40002FFE, 0, df}},  // down, but the dword runs up into the hole
           {{0xF3, 0x6D}, {0, 2, 0x3FC, 0, 0x40006FFE, df}},
           {{0x6E}, {0, 0, com1, 0x40003000, 0, 0}}});
}

void address_size_32()
{
  const std::uint64_t junk = 0xABCD00000000;
  run_all({{{0x67, 0xF3, 0x6E}, {0, 6, com1, junk | 0xFFFFFFFD, 0, 0}},  // wraps to 0, unmapped
           {{0x67, 0xF3, 0x6E}, {0, junk | 3, com1, junk | 0xFFFFFFF0, 0, 0}},
           {{0x67, 0xF3, 0x6E}, {0, junk | 3, com1, junk | 0x5000, 0, 0}},  // faults at once: nothing changes
           {{0x67, 0xF3, 0x65, 0x6E}, {0, 8, com1, 0xFFFFFFFC, 0, 0}},      // GS:ESI wraps within GS's pages
           {{0x67, 0x65, 0xF3, 0x6E}, {0, 8, com1, 3, 0, df}},
           {{0x67, 0xF3, 0x6C}, {0, 5, 0x3FD, 0, junk | 0xFFFFFFFE, 0}},
           {{0x67, 0xF3, 0x6E}, {0, junk, com1, 0x40000000, 0, 0}},  // ECX 0, whatever RCX's upper half
           {{0x67, 0x6E}, {0, 0, com1, junk | 0xFFFFFFFF, 0, 0}}});
}

void canonical()
{
  run_all({{{0xF3, 0x6E}, {0, 4, com1, 0x8000000000000000, 0, 0}},
           {{0xF3, 0x6C}, {0, 4, 0x3FD, 0, 0x0000800000000000, 0}},
           {{0xF3, 0x6E}, {0, 4, com1, 0x00007FFFFFFFFFFE, 0, 0}},
           {{0xF3, 0x6E}, {0, 4, com1, 0xFFFF800000000000, 0, 0}},
           {{0xF3, 0x6E}, {0, 4, com1, 1, 0, df}},
           {{0xF3, 0x65, 0x6E}, {0, 4, com1, 0x7FFFFFFFFFFF0000, 0, 0}},
           {{0xF3, 0x6E}, {0, 4, com1, 0xFFFFFFFFFFFFFFFA, 0, 0}},  // up to the top of the address space
           {{0x6F}, {0, 0, com1, 0xFFFFFFFFFFFFFFFF, 0, 0}}});      // a dword from its last byte
}

// COM1's receiver fed by its own transmitter, through the FIFO.
void loop_back(bool on)
{
  outb(on ? 0x07 : 0x06, com1 + 2);
  outb(on ? 0x10 : 0x00, com1 + 4);
}

// Memory by the processor's own rules: pages it reads that a debugger's access
// cannot, code it executes that cannot be read, a mapping that grows down, a
// file's end.
void memory_kinds()
{
  if (!grant_all()) {
    std::printf("iopl: %s\n", std::strerror(errno));
    return;
  }
  run({0xF3, 0x6E}, {0, 5, com1, write_only + 0x10, 0, 0});
  run({0xF3, 0x6E}, {0, 3, com1, execute_only, 0, 0});  // with protection keys, no data access
  run({0xF3, 0x6C}, {0, 3, 0x3FD, 0, execute_only + 8, 0});
  code_execute_only = true;
  run({0xEE}, {'x', 0, com1, 0, 0, 0});
  run({0xF3, 0x6E}, {0, 3, com1, 0x40000000, 0, 0});
  code_execute_only = false;
  run({0xF3, 0x6C}, {0, 32, 0x3FD, 0, grows_down - 0x1010, 0});  // the kernel grows the mapping
  run({0xF3, 0x6E}, {0, 8, com1, grows_down - 0x3000, 0, 0});
  std::printf("grown:");
  for (std::uint64_t i = 0; i < 32; ++i) {
    std::printf(" %02x", reinterpret_cast<const std::uint8_t *>(grows_down - 0x1010)[i]);
  }
  std::printf("\n");
  for (const std::uint64_t file : {file_shared, file_private}) {
    run({0xF3, 0x6E}, {0, 16, com1, file + 2 * page - 8, 0, 0});  // past the file's end: SIGBUS
    run({0xF3, 0x6C}, {0, 16, 0x3FD, 0, file + 2 * page - 8, 0});
    run({0xF3, 0x66, 0x6D}, {0, 2, 0x3FC, 0, file + 2 * page - 3, df});
  }
  // The receiver gives only the bytes memory can store: the rest stay in its FIFO.
  loop_back(true);
  for (const char byte : std::string_view("abcdefghijkl")) {
    outb(static_cast<unsigned char>(byte), com1);
  }
  run({0x6C}, {0, 0, com1, 0, 0x40002FFB, 0});  // a read-only page from its middle: nothing taken
  run({0xF3, 0x6C}, {0, 12, com1, 0, file_shared + 2 * page - 4, 0});
  std::printf("receiver kept:");
  while ((inb(com1 + 5) & 1) != 0) {
    std::printf(" %c", inb(com1));
  }
  std::printf("\n");
  loop_back(false);
}

// The trap flag: a trap after each port instruction, and after each element of a rep.
void trap_flag_set()
{
  if (!grant_all()) {
    std::printf("iopl: %s\n", std::strerror(errno));
    return;
  }
  run_all({{{0xEE}, {'T', 0, com1, 0, 0, trap_flag}},
           {{0xEC}, {0, 0, 0x3FD, 0, 0, trap_flag}},
           {{0xF3, 0x6E}, {0, 3, com1, 0x40000000, 0, trap_flag}},
           {{0xF3, 0x6E}, {0, 0, com1, 0x40000000, 0, trap_flag}},
           {{0xF3, 0x6E}, {0, 1, com1, 0x40000000, 0, trap_flag}},
           {{0x6F}, {0, 0, com1, 0x40000010, 0, trap_flag | df}},
           {{0xF3, 0x6C}, {0, 2, 0x3FD, 0, 0x40000100, trap_flag}},
           {{0xF3, 0x6E}, {0, 4, com1, 0x40001FFE, 0, trap_flag}}});  // the trap comes before the fault
}

// Port instructions in 32-bit compatibility mode, where 0x40-0x4F are INC and
// DEC, indexes are ESI/EDI/ECX (SI/DI/CX with 0x67) and wrap there.
void compatibility_mode()
{
  if (!grant_all()) {
    std::printf("iopl: %s\n", std::strerror(errno));
    return;
  }
  const std::uint64_t junk = 0xABCD00000000;
  code_compat = true;
  run({0x40, 0xEE}, {'@', 0, com1, 0, 0, 0});  // inc eax, then out
  run({0xF3, 0x6E}, {0, junk | 3, com1, junk | 0x40000000, 0, 0});
  run({0xF3, 0x6E}, {0, 6, com1, 0xFFFFFFFD, 0, 0});                     // wraps to 0 within the transfer
  run({0x67, 0xF3, 0x6E}, {0, junk | 0x10003, com1, 0x4000FFFE, 0, 0});  // SI wraps at 64 KiB
  run({0xF3, 0x66, 0x6D}, {0, 3, 0x3FC, 0, 0x40001FFC, 0});
  run({0xF3, 0x6C}, {0, 5, 0x3FD, 0, 0x40000FFE, df});
  run({0x48, 0x6D}, {0, 0, 0x3FC, 0, 0x40000800, 0});  // dec eax, then a dword
  code_compat = false;
}

// A SIGSEGV "from the kernel" that the program queues itself, arriving while
// RIP is at a port instruction it may use: a signal, never a port fault.
void queued_segv()
{
  iopl(3);
  siginfo_t info{};
  info.si_signo = SIGSEGV;
  info.si_code = SI_KERNEL;
  if (sigsetjmp(recovery, 1) == 0) {
    asm volatile("syscall\n\tout %%al, %%dx"
                 :
                 : "a"(SYS_rt_sigqueueinfo), "D"(getpid()), "S"(SIGSEGV), "d"(&info)
                 : "rcx", "r11", "memory");
    std::printf("queued SIGSEGV: not delivered\n");
  } else {
    std::printf("queued SIGSEGV: delivered, code=%d\n", fault.code);
  }
}

void requests()
{
  errno = 0;
  std::printf("iopl(0x100000003) = %ld errno=%d\n", syscall(SYS_iopl, 0x100000003UL), errno);
  errno = 0;
  std::printf("iopl(4) = %d errno=%d\n", iopl(4), errno);
  std::printf("iopl(0) = %d\n", iopl(0));
  std::printf("ioperm(0x3f8, 2, 1) = %d\n", ioperm(com1, 2, 1));
  catch_signals();
  run({0x66, 0xEF}, {0x4241, 0, com1, 0, 0, 0});
  run({0xEF}, {0x44434241, 0, com1, 0, 0, 0});  // reaches 0x3FA, which is not granted
  run({0xEC}, {0, 0, 0x3FA, 0, 0, 0});
  queued_segv();
}

// Instruction breakpoints on a port instruction and on the next one: each traps
// once, because the processor clears the resume flag when an instruction completes.
std::vector<std::uint64_t> breakpoint_hits;

void count_breakpoint(int /*signal*/, siginfo_t * /*info*/, void *context)
{
  breakpoint_hits.push_back(static_cast<std::uint64_t>(static_cast<ucontext_t *>(context)->uc_mcontext.gregs[REG_RIP]) -
                            code_base);
}

int instruction_breakpoint(std::uint64_t address)
{
  perf_event_attr attributes{};
  attributes.type = PERF_TYPE_BREAKPOINT;
  attributes.size = sizeof attributes;
  attributes.bp_type = HW_BREAKPOINT_X;
  attributes.bp_addr = address;
  attributes.bp_len = sizeof(long);
  attributes.sample_period = 1;
  attributes.sigtrap = 1;  // a SIGTRAP at each hit
  attributes.remove_on_exec = 1;
  attributes.exclude_kernel = 1;
  return static_cast<int>(syscall(SYS_perf_event_open, &attributes, 0, -1, -1, PERF_FLAG_FD_CLOEXEC));
}

// Runs the instruction with instruction breakpoints on it and on the next one,
// and prints where they trapped.
void breakpoint_traps(const char *label, const std::vector<std::uint8_t> &instruction)
{
  struct sigaction action {};
  action.sa_sigaction = count_breakpoint;
  action.sa_flags = SA_SIGINFO;
  sigaction(SIGTRAP, &action, nullptr);
  // mov edx, COM1; mov ecx, 3; mov esi, 0x40000000; mov edi, 0x40000100
  std::vector<std::uint8_t> stub = {0xBA, 0xF8, 0x03, 0x00, 0x00, 0xB9, 0x03, 0x00, 0x00, 0x00,
                                    0xBE, 0x00, 0x00, 0x00, 0x40, 0xBF, 0x00, 0x01, 0x00, 0x40};
  const std::size_t at = stub.size();
  stub.insert(stub.end(), instruction.begin(), instruction.end());
  stub.insert(stub.end(), {0x90, 0xC3});  // nop; ret
  std::memcpy(reinterpret_cast<void *>(code_base), stub.data(), stub.size());
  const int on_instruction = instruction_breakpoint(code_base + at);
  const int after = instruction_breakpoint(code_base + at + instruction.size());
  if (on_instruction < 0 || after < 0) {
    std::printf("perf_event_open: %s\n", std::strerror(errno));
    return;
  }
  breakpoint_hits.clear();
  breakpoint_hits.reserve(8);  // no allocation in the handler
  reinterpret_cast<void (*)()>(code_base)();
  close(on_instruction);
  close(after);
  catch_signals();
  std::printf("%s: traps at", label);
  for (const std::uint64_t offset : breakpoint_hits) {
    std::printf(" %lu", offset - at);
  }
  std::printf("\n");
}

void breakpoints()
{
  if (!grant_all()) {
    std::printf("iopl: %s\n", std::strerror(errno));
    return;
  }
  breakpoint_traps("breakpoints on ee and after it", {0xEE});
  breakpoint_traps("breakpoints on ec and after it", {0xEC});
}

void *exec_from_thread(void *)
{
  ioperm(com1, 8, 1);
  char self[] = "/proc/self/exe";
  char name[] = "exec-child";
  char *const argv[] = {self, name, nullptr};
  execv(self, argv);
  std::printf("execv: %s\n", std::strerror(errno));
  return nullptr;
}

void exec_thread()
{
  pthread_t thread;
  pthread_create(&thread, nullptr, exec_from_thread, nullptr);
  pthread_join(thread, nullptr);
}

void exec_child()
{
  catch_signals();
  run({0xEE}, {'X', 0, com1, 0, 0, 0});  // the permission came through execve
}

void random_sequences(unsigned seed, unsigned sequences, bool with_32bit)
{
  if (!grant_all()) {
    std::printf("iopl: %s\n", std::strerror(errno));
    return;
  }
  std::mt19937_64 generator(seed);
  const auto below = [&](std::uint64_t n) { return generator() % n; };
  static constexpr std::array<std::uint8_t, 12> opcodes = {0xE4, 0xE5, 0xE6, 0xE7, 0xEC, 0xED,
                                                           0xEE, 0xEF, 0x6C, 0x6D, 0x6E, 0x6F};
  static constexpr std::array<std::uint8_t, 8> null_segments_and_more = {0x66, 0x67, 0xF2, 0xF3,
                                                                         0x2E, 0x36, 0x3E, 0x26};
  static constexpr std::array<std::uint64_t, 16> addresses = {
      0x40000000, 0x40001000, 0x40002000,  0x40003000, 0x40004000, 0x40005000, 0x40006000,         0x40007000,
      0x40000800, 0xFFFFF000, 0x100000000, 0xFFFFE000, 0,          gs_base,    0x8000000000000000, 0x0000800000000000};
  static constexpr std::array<std::uint64_t, 6> other_kinds = {
      write_only, grows_down, file_shared, file_shared + 2 * page, file_private + 2 * page, execute_only};
  static constexpr std::array<std::uint64_t, 4> upper_halves = {0, 1ULL << 32, 0xDEAD00000000, 0xFFFFFFFF00000000};
  static constexpr std::array<std::uint64_t, 10> counts = {0, 1, 2, 3, 5, 8, 17, 100, 1000, 5000};
  const auto address = [&] {
    const std::uint64_t pick = below(addresses.size() + other_kinds.size());
    const std::uint64_t base = pick < addresses.size() ? addresses[pick] : other_kinds[pick - addresses.size()];
    // An element that straddles the end of the lower canonical half is #GP on the
    // processor but a page fault in QEMU: the hardware case checks that one.
    const std::uint64_t offset = base == 0x0000800000000000 ? (below(17) - 8) & ~3ULL : below(17) - 8;
    const std::uint64_t near = base + offset;
    return below(4) == 0 && near < (1ULL << 32) ? near | upper_halves[below(upper_halves.size())] : near;
  };
  for (unsigned sequence = 0; sequence < sequences; ++sequence) {
    fill(sequence + 1);
    std::printf("sequence %u\n", sequence);
    const auto length = 1 + below(4);
    for (std::uint64_t i = 0; i < length; ++i) {
      // One in four in 32-bit code, where 0x40-0x4F are INC and DEC, and one in eight with the trap flag.
      code_compat = below(4) == 0 && with_32bit;
      const std::uint64_t trap = below(8) == 0 ? trap_flag : 0;
      std::vector<std::uint8_t> code;
      bool gs = false;
      for (auto prefixes = below(4); prefixes > 0; --prefixes) {
        if (below(6) == 0) {
          // After the others: QEMU and this processor disagree on GS before DS. In
          // 32-bit code GS holds the null selector, whose base QEMU applies.
          gs = !code_compat;
        } else {
          code.push_back(null_segments_and_more[below(null_segments_and_more.size())]);
        }
      }
      if (gs) {
        code.push_back(0x65);
      }
      // REX, only right before the opcode; in 32-bit code INC or DEC, but not of EDX, which holds the
      // port, nor of ESI or EDI, which would undo their alignment.
      constexpr unsigned edx = 2, esi = 6, edi = 7;
      if (const auto rex = static_cast<std::uint8_t>(0x40 + below(16));
          below(3) == 0 && !(code_compat && ((rex & 7U) == edx || (rex & 7U) == esi || (rex & 7U) == edi))) {
        code.push_back(rex);
      }
      const std::uint8_t opcode = opcodes[below(opcodes.size())];
      code.push_back(opcode);
      if ((opcode & 0xF0U) == 0xE0 && (opcode & 0x08U) == 0) {
        code.push_back(0x80);
      }
      // Reads may come from any of COM1's registers that a dword access leaves inside its block;
      // writes go to the data register only, with bytes below 0x80, so the line set-up stays.
      const bool reads =
          opcode == 0xE4 || opcode == 0xE5 || opcode == 0xEC || opcode == 0xED || opcode == 0x6C || opcode == 0x6D;
      const std::uint64_t port = reads ? 0x3F8 + below(5) : com1;
      const std::uint64_t rax = generator() & 0x7F7F7F7F7F7F7F7F;
      const std::uint64_t rcx = counts[below(counts.size())] | (below(4) == 0 ? upper_halves[below(4)] : 0);
      // In 32-bit code an element must not straddle 4 GiB, which is past the segment's limit: #GP on the
      // processor, a page fault that repeats for ever in QEMU (the segment-limit case checks that one).
      const std::uint64_t alignment = code_compat ? ~3ULL : ~0ULL;
      run(code, {rax, rcx, (generator() & 0xFFFFFFFFFFFF0000) | port, address() & alignment, address() & alignment,
                 below(2) * df | trap});
    }
  }
  code_compat = false;
}

// Where QEMU's processor model is not the hardware: each case prints what the
// processor does, found with the port instruction where port access is granted
// and with the equivalent memory string instruction where it is not.
void hardware_rules()
{
  catch_signals();
  const bool ports = grant_all();
  // An instruction breakpoint on a rep string instruction traps once, as the
  // resume flag holds until the instruction completes: QEMU traps at each element.
  breakpoint_traps("rule: breakpoints on a rep of 3 and after it",
                   {0xF3, ports ? std::uint8_t{0x6C} : std::uint8_t{0xAA}});
  const int lock = run({0xF0, 0xEE}, {'L', 0, com1, 0, 0, 0});  // #UD on the processor, before any permission check
  std::printf("rule: lock out: %s\n", lock != 0 ? sigabbrev_np(lock) : "executed");

  // Operand size with a REX.W that is not right before the opcode.
  for (const auto &prefixes : {std::vector<std::uint8_t>{0x48, 0x66}, {0x66, 0x48}, {0x48, 0x66, 0x2E}}) {
    std::vector<std::uint8_t> code = prefixes;
    code.push_back(ports ? 0x6D : 0xAD);  // insw/insd, or lodsw/lodsd
    run(code, {0, 0, 0x3FC, 0x40000000, 0x40000000, 0});
    std::printf("rule: operand size after");
    for (const std::uint8_t prefix : prefixes) {
      std::printf(" %02x", prefix);
    }
    std::printf(": %lu bytes\n", (ports ? observed.rdi : observed.rsi) - 0x40000000);
  }

  // An element that runs from the last canonical address into non-canonical space.
  const int straddling = run({ports ? std::uint8_t{0x6F} : std::uint8_t{0xAD}}, {0, 0, com1, 0x7FFFFFFFFFFF, 0, 0});
  std::printf("rule: dword at 7fffffffffff: %s code=%d\n", straddling != 0 ? sigabbrev_np(straddling) : "none",
              fault.code);

  // A misaligned word with RFLAGS.AC set: #AC, which QEMU does not check.
  for (const auto &[name, port_form, memory_form] :
       {std::tuple{"outsw", std::uint8_t{0x6F}, std::uint8_t{0xAD}}, {"insw", 0x6D, 0xAB}}) {
    const int aligned =
        run({0x66, ports ? port_form : memory_form}, {0, 0, 0x3FC, 0x40000001, 0x40000001, alignment_check});
    std::printf("rule: misaligned %s with AC: %s code=%d trapno=%lld\n", name,
                aligned != 0 ? sigabbrev_np(aligned) : "none", aligned != 0 ? fault.code : 0,
                aligned != 0 ? fault.trapno : 0);
  }

  // In 32-bit code, an FS override with FS holding the null selector: #GP (QEMU applies FS's base). The
  // offset takes FS's base, as QEMU adds it in 32 bits, to the hole among the areas: a page fault there, always.
  std::uint64_t fs_base = 0;
  syscall(SYS_arch_prctl, ARCH_GET_FS, &fs_base);
  constexpr std::uint64_t hole = 0x40003000;
  const std::uint64_t to_hole = (hole - fs_base) & 0xFFFFFFFFU;
  code_compat = true;
  const int null_fs = run({0x64, ports ? std::uint8_t{0x6E} : std::uint8_t{0xAC}}, {0, 0, com1, to_hole, 0, 0});
  code_compat = false;
  std::printf("rule: fs override with a null selector in 32-bit code: %s code=%d\n",
              null_fs != 0 ? sigabbrev_np(null_fs) : "none", null_fs != 0 ? fault.code : 0);

  // A GS override followed by a DS one: which base the source comes from.
  // 0xFFFFF010 is mapped both as it is and from GS's base.
  constexpr std::uint64_t source = 0xFFFFF010;
  *reinterpret_cast<char *>(gs_base + source) = 'G';
  *reinterpret_cast<char *>(source) = 'D';
  if (ports) {
    outb(0x10, com1 + 4);  // loopback: what is sent comes back
    run({0x65, 0x3E, 0x6E}, {0, 0, com1, source, 0, 0});
    std::printf("rule: segment after 65 3e: %c\n", inb(com1));
    outb(0x00, com1 + 4);
  } else {
    run({0x65, 0x3E, 0xAC}, {0, 0, com1, source, 0, 0});  // lodsb
    std::printf("rule: segment after 65 3e: %c\n", static_cast<char>(observed.rax));
  }
}

// In 32-bit code, an element that runs past 4 GiB exceeds the segment's limit: #GP.
// QEMU takes a page fault there instead, which the kernel finds already mapped, so
// the instruction faults again for ever: only this processor and Bochs run this one.
void segment_limit()
{
  catch_signals();
  const bool ports = grant_all();
  code_compat = true;
  const int crossing = run({ports ? std::uint8_t{0x6F} : std::uint8_t{0xAD}}, {0, 0, com1, 0xFFFFFFFE, 0, 0});
  code_compat = false;
  std::printf("rule: dword at fffffffe in 32-bit code: %s code=%d\n", crossing != 0 ? sigabbrev_np(crossing) : "none",
              crossing != 0 ? fault.code : 0);
}

}  // namespace

int main(int argc, char *argv[])
{
  // The fixed areas need their addresses free, but the kernel may start a static
  // program's heap anywhere in its first GiB and beyond. Run once more with the
  // layout fixed, the same in every run, here and in the virtual machine.
  constexpr unsigned long query = 0xFFFFFFFF;
  if (const int persona = personality(query);
      persona != -1 && (persona & ADDR_NO_RANDOMIZE) == 0 &&
      personality(static_cast<unsigned long>(persona) | ADDR_NO_RANDOMIZE) != -1) {
    execv("/proc/self/exe", argv);
  }
  set_up();
  catch_signals();
  if ((argc == 4 || (argc == 5 && std::string_view(argv[4]) == "64")) && std::string_view(argv[1]) == "random") {
    random_sequences(static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)),
                     static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)), argc == 4);
    return 0;
  }
  static constexpr FixtureCase cases[] = {
      {"in-out", in_and_out},           {"strings", strings},           {"faults", faults},
      {"memory", memory_kinds},         {"compat", compatibility_mode}, {"trap-flag", trap_flag_set},
      {"addr32", address_size_32},      {"canonical", canonical},       {"requests", requests},
      {"exec-thread", exec_thread},     {"exec-child", exec_child},     {"hardware", hardware_rules},
      {"segment-limit", segment_limit}, {"breakpoints", breakpoints}};
  return run_named_case(argc, argv, cases, "port_corpus CASE | random SEED SEQUENCES [64]") ? 0 : 2;
}

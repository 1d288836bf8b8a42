// port_fixture CASE: small port-I/O scenarios for the emulator. Each case prints
// what the program itself observed (registers after the instruction, values read,
// signals received) so the test can compare it with the trace and COM1.
#include <pthread.h>
#include <sys/io.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "fixture_cases.h"

namespace {

constexpr unsigned short com1 = 0x3F8;
constexpr unsigned short com1_line_status = 0x3FD;
constexpr unsigned short com1_scratch = 0x3FF;
constexpr unsigned short unclaimed = 0x2F0;  // nothing there
constexpr unsigned short post_code = 0x80;

sigjmp_buf recovery;

void report_fault(int, siginfo_t *info, void *context)
{
  const auto *registers = static_cast<ucontext_t *>(context)->uc_mcontext.gregs;
  std::printf("SIGSEGV code=%d addr=%#lx rsi=%#llx rcx=%llu\n", info->si_code,
              reinterpret_cast<unsigned long>(info->si_addr), static_cast<unsigned long long>(registers[REG_RSI]),
              static_cast<unsigned long long>(registers[REG_RCX]));
  std::fflush(stdout);
  siglongjmp(recovery, 1);
}

void catch_faults()
{
  struct sigaction action {};
  action.sa_sigaction = report_fault;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigaction(SIGSEGV, &action, nullptr);
}

void grant(unsigned long from, unsigned long count)
{
  if (ioperm(from, count, 1) != 0) {
    std::perror("ioperm");
    _exit(3);
  }
}

// rep outsb with the direction flag as asked; returns RSI and RCX afterwards.
void rep_outsb(const void *source, unsigned long count, bool descending, std::uint64_t &rsi, std::uint64_t &rcx)
{
  rsi = reinterpret_cast<std::uint64_t>(source);
  rcx = count;
  if (descending) {
    asm volatile("std; rep outsb; cld" : "+S"(rsi), "+c"(rcx) : "d"(com1) : "memory");
  } else {
    asm volatile("cld; rep outsb" : "+S"(rsi), "+c"(rcx) : "d"(com1) : "memory");
  }
}

void widths()
{
  grant(com1, 8);
  grant(unclaimed, 8);
  grant(post_code, 1);
  asm volatile("outb %%al, $0x80" : : "a"(0x41));  // out imm8, al: only ports below 0x100 fit
  asm volatile("outb %%al, %%dx" : : "a"(0x42), "d"(com1));
  asm volatile("outw %%ax, %%dx" : : "a"(0x4443), "d"(com1));  // low byte to 0x3F8, high to 0x3F9
  asm volatile("outl %%eax, %%dx" : : "a"(0x48474645), "d"(com1));
  std::uint64_t rax = 0x1122334455667788;
  asm volatile("inb %%dx, %%al" : "+a"(rax) : "d"(com1_line_status));
  std::printf("inb lsr rax=%#lx\n", rax);
  rax = 0x1122334455667788;
  asm volatile("inw %%dx, %%ax" : "+a"(rax) : "d"(unclaimed));
  std::printf("inw unclaimed rax=%#lx\n", rax);
  rax = 0x1122334455667788;
  asm volatile("inl %%dx, %%eax" : "+a"(rax) : "d"(unclaimed));
  std::printf("inl unclaimed rax=%#lx\n", rax);
  outb(0x5A, com1_scratch);
  std::printf("scratch=%#x\n", inb(com1_scratch));
  unsigned char received[4] = {1, 2, 3, 4};
  insb(com1_line_status, received, sizeof received);
  std::printf("insb lsr=%02x%02x%02x%02x\n", received[0], received[1], received[2], received[3]);
  const std::uint16_t words[] = {0x4a49, 0x4c4b};
  outsw(com1, words, 2);
  const std::uint32_t dwords[] = {0x504f4e4d};
  outsl(com1, dwords, 1);
}

void descending()
{
  grant(com1, 8);
  static const char text[] = "abcdef";
  std::uint64_t rsi, rcx;
  rep_outsb(text + 5, 6, true, rsi, rcx);
  std::printf("rsi=start%+ld rcx=%lu\n", static_cast<long>(rsi - reinterpret_cast<std::uint64_t>(text)), rcx);
}

void count_zero()
{
  grant(com1, 8);
  static const char text[] = "never";
  std::uint64_t rsi, rcx;
  rep_outsb(text, 0, false, rsi, rcx);
  std::printf("rsi=start%+ld rcx=%lu\n", static_cast<long>(rsi - reinterpret_cast<std::uint64_t>(text)), rcx);
}

void unmapped_source()
{
  grant(com1, 8);
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  auto *pages =
      static_cast<char *>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  munmap(pages + page, page);
  char *source = pages + page - 10;
  std::memcpy(source, "0123456789", 10);
  std::printf("page end=%#lx\n", reinterpret_cast<unsigned long>(pages + page));
  std::fflush(stdout);
  catch_faults();
  if (sigsetjmp(recovery, 1) == 0) {
    std::uint64_t rsi, rcx;
    rep_outsb(source, 20, false, rsi, rcx);
    std::printf("not reached\n");
  }
}

void no_permission()
{
  grant(com1, 1);  // 0x3F8 only
  catch_faults();
  if (sigsetjmp(recovery, 1) == 0) {
    outb('!', com1 + 1);
    std::printf("not reached\n");
  }
  if (sigsetjmp(recovery, 1) == 0) {
    outw(0x2121, com1);  // its second byte lies outside the grant
    std::printf("not reached\n");
  }
  ioperm(com1, 1, 0);
  if (sigsetjmp(recovery, 1) == 0) {
    outb('!', com1);
    std::printf("not reached\n");
  }
}

void whole_space()
{
  if (iopl(3) != 0) {
    std::perror("iopl");
    _exit(3);
  }
  outb('I', com1);
  outb('!', 0x80);
  std::printf("iopl inb unclaimed=%#x\n", inb(0x80));
}

void unrelated_fault()
{
  catch_faults();
  if (sigsetjmp(recovery, 1) == 0) {
    *static_cast<volatile int *>(reinterpret_cast<void *>(16)) = 1;
  }
  grant(com1, 8);
  if (sigsetjmp(recovery, 1) == 0) {
    asm volatile("hlt");  // privileged like a port instruction, but not one
  }
}

void address_size_32()
{
  grant(com1, 8);
  auto *low =
      static_cast<char *>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0));
  std::memcpy(low, "addr32", 6);
  std::uint64_t rsi = (0xdeadULL << 32) | reinterpret_cast<std::uint64_t>(low);
  std::uint64_t rcx = (0xbeefULL << 32) | 6;
  asm volatile("cld; .byte 0xf3, 0x67, 0x6e" : "+S"(rsi), "+c"(rcx) : "d"(com1) : "memory");  // rep addr32 outsb
  std::printf("rsi=start%+ld rcx=%lu\n", static_cast<long>(rsi - reinterpret_cast<std::uint64_t>(low)), rcx);
}

void fs_segment()
{
  grant(com1, 8);
  // glibc keeps the thread pointer itself at %fs:0.
  std::uint64_t rsi = 0;
  std::uint64_t rcx = 8;
  asm volatile("cld; rep outsb %%fs:(%%rsi), %%dx" : "+S"(rsi), "+c"(rcx) : "d"(com1) : "memory");
  const auto self = reinterpret_cast<std::uint64_t>(pthread_self());
  std::fwrite(&self, sizeof self, 1, stdout);
}

void *granted_thread(void *)
{
  grant(com1, 8);
  outb('T', com1);
  return nullptr;
}

void *ungranted_thread(void *)
{
  if (sigsetjmp(recovery, 1) == 0) {
    outb('U', com1);
    std::printf("not reached\n");
  }
  return nullptr;
}

void threads()
{
  catch_faults();
  pthread_t thread;
  pthread_create(&thread, nullptr, granted_thread, nullptr);
  pthread_join(thread, nullptr);
  pthread_create(&thread, nullptr, ungranted_thread, nullptr);  // permissions are the creator's: none yet
  pthread_join(thread, nullptr);
  grant(com1, 8);
  pthread_create(&thread, nullptr, granted_thread, nullptr);  // a grant is inherited by new threads
  pthread_join(thread, nullptr);
  outb('M', com1);
}

// Every device of the PC's port space once: each COM port's line (a rep outsb out, a rep insb in on
// COM2), the debug console, POST codes and the RTC's status registers.
void devices()
{
  if (iopl(3) != 0) {
    std::perror("iopl");
    _exit(3);
  }
  constexpr unsigned short com[] = {0x3F8, 0x2F8, 0x3E8, 0x2E8};
  for (unsigned port = 0; port < 4; ++port) {
    const char line[] = {'c', static_cast<char>('1' + port), '\n'};
    outsb(com[port], line, sizeof line);
  }
  char received[4] = {};
  insb(com[1], received, 3);
  std::printf("COM2 received %s\n", received);
  outsb(0xE9, "dbg\n", 4);
  std::printf("debug console reads %#x\n", inb(0xE9));
  outb(0x11, post_code);
  const unsigned char codes[] = {0x22, 0x33};
  outsb(post_code, codes, sizeof codes);
  outb(0x0D, 0x70);
  std::printf("RTC register D %#x\n", inb(0x71));
}

}  // namespace

int main(int argc, char *argv[])
{
  static constexpr FixtureCase cases[] = {{"widths", widths},
                                          {"descending", descending},
                                          {"count-zero", count_zero},
                                          {"unmapped", unmapped_source},
                                          {"no-permission", no_permission},
                                          {"iopl", whole_space},
                                          {"unrelated-fault", unrelated_fault},
                                          {"addr32", address_size_32},
                                          {"fs-segment", fs_segment},
                                          {"threads", threads},
                                          {"devices", devices}};
  if (!run_named_case(argc, argv, cases, "port_fixture CASE")) {
    return 2;
  }
  std::printf("done\n");
  return 0;
}

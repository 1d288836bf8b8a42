// port_bench MODE COUNT: what the benchmark measures, COUNT times.
//   rep      sends COUNT bytes to COM1's data register as one rep outsb
//   rep-in   reads COUNT bytes from COM1's data register as one rep insb
//   rep-com2 sends COUNT bytes to COM2's data register as one rep outsb
//   loop     sends COUNT bytes as single-byte out instructions
//   unchecked  the same loop, without asking for permission first (for floor_tracer)
//   handled  the same loop, from a program with a SIGSEGV handler, as crash reporters and runtimes have
//   writes   makes COUNT one-byte writes to standard output
//   write    makes one write of COUNT bytes to standard output
//   filtered-write  the same from a process with a seccomp filter of its own, whose writes vuart's trace
//            reads as they return (as on a kernel without mseal)
//   syscalls makes COUNT getppid calls
//   crowded  makes 200 ioperm calls (a stop each) while COUNT threads loop on single-byte outs, and prints
//            the median and longest time a call took, in microseconds
//   fresh-rep  forks COUNT processes one after another, each sending one byte with rep outsb,
//            the first string instruction of its process
//   fresh-out  the same with out
// It is static, so that a virtual machine can run it too.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/io.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>
#include <vector>

int main(int argc, char *argv[])
{
  if (argc != 3) {
    std::fprintf(stderr,
                 "usage: port_bench "
                 "rep|rep-in|rep-com2|loop|unchecked|handled|writes|write|filtered-write|syscalls|fresh-rep|fresh-out "
                 "COUNT\n");
    return 2;
  }
  constexpr unsigned short com1 = 0x3F8;
  const std::string_view mode = argv[1];
  const unsigned long count = std::strtoul(argv[2], nullptr, 0);
  const bool ports = mode == "rep" || mode == "rep-in" || mode == "loop" || mode == "handled" || mode == "fresh-rep" ||
                     mode == "fresh-out" || mode == "crowded";
  if (ports && ioperm(com1, 8, 1) != 0) {
    std::perror("ioperm");
    return 1;
  }
  if (mode == "rep") {
    std::vector<unsigned char> data(count, 'x');
    outsb(com1, data.data(), data.size());
  } else if (mode == "rep-com2") {
    constexpr unsigned short com2 = 0x2F8;
    std::vector<unsigned char> data(count, 'y');
    if (ioperm(com2, 8, 1) != 0) {
      std::perror("ioperm");
      return 1;
    }
    outsb(com2, data.data(), data.size());
  } else if (mode == "rep-in") {
    std::vector<unsigned char> data(count);
    insb(com1, data.data(), data.size());
  } else if (mode == "loop" || mode == "unchecked" || mode == "handled") {
    if (mode == "handled") {
      std::signal(SIGSEGV, [](int) { _exit(1); });
    }
    for (unsigned long i = 0; i < count; ++i) {
      outb('x', com1);
    }
  } else if (mode == "writes") {
    for (unsigned long i = 0; i < count; ++i) {
      if (write(STDOUT_FILENO, "x", 1) != 1) {
        return 1;
      }
    }
  } else if (mode == "write" || mode == "filtered-write") {
    if (mode == "filtered-write") {
      std::array<sock_filter, 1> allow_all = {{{BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW}}};
      const sock_fprog filter{allow_all.size(), allow_all.data()};
      if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
        std::perror("seccomp");
        return 1;
      }
    }
    const std::vector<char> data(count, 'x');
    return write(STDOUT_FILENO, data.data(), data.size()) == static_cast<ssize_t>(data.size()) ? 0 : 1;
  } else if (mode == "fresh-rep" || mode == "fresh-out") {
    for (unsigned long i = 0; i < count; ++i) {
      const pid_t child = fork();
      if (child == 0) {
        const unsigned char byte = 'x';
        if (mode == "fresh-rep") {
          outsb(com1, &byte, 1);
        } else {
          outb(byte, com1);
        }
        _exit(0);
      }
      int status = 0;
      if (child < 0 || waitpid(child, &status, 0) != child || status != 0) {
        return 1;
      }
    }
  } else if (mode == "crowded") {
    for (unsigned long i = 0; i < count; ++i) {
      std::thread([] {
        for (;;) {
          outb('x', com1);
        }
      }).detach();
    }
    std::vector<double> waits;
    for (int i = 0; i < 200; ++i) {
      const auto started = std::chrono::steady_clock::now();
      ioperm(com1, 8, 1);
      waits.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - started).count());
    }
    std::sort(waits.begin(), waits.end());
    std::printf("%.0f %.0f\n", waits[waits.size() / 2], waits.back());
    std::fflush(stdout);
    _exit(0);
  } else if (mode == "syscalls") {
    for (unsigned long i = 0; i < count; ++i) {
      syscall(SYS_getppid);
    }
  } else {
    std::fprintf(stderr, "port_bench: unknown mode %s\n", argv[1]);
    return 2;
  }
  return 0;
}

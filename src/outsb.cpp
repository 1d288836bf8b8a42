// Exercises the port-output instructions on the first serial port: "hello" one
// byte at a time with out, then a fixed line eleven times, each as one rep outsb.

// The access check below must hold in every build: were it compiled out, a
// refused request would go unnoticed and the first port instruction would kill
// the process with SIGSEGV instead of the report.
#undef NDEBUG
#include <assert.h>
#include <stdio.h>
#include <string.h>
#include <sys/io.h>

#include "com1_bytes.h"

namespace {

constexpr unsigned short port = 0x3F8;   // data register of COM1
constexpr unsigned long port_count = 8;  // 0x3F8 to 0x3FF, the whole register block
constexpr int turn_on = 1;
constexpr int repeats = 10;  // after the first transfer: eleven in all
static_assert(sizeof com1_bytes::line - 1 == 47, "the line is 47 bytes, newline included");

}  // namespace

int main()
{
  printf("init\n");
  int err = ioperm(port, port_count, turn_on);
  assert(!err);

  printf("attempting outb\n");
  outb(0x68, port);
  printf("attempting outb\n");
  outb(0x65, port);
  outb(0x6C, port);
  outb(0x6C, port);
  outb(0x6F, port);

  printf("attempting outsb\n");
  const char *const hello = com1_bytes::line;
  outsb(port, hello, strlen(hello));
  for (int i = 0; i < repeats; i++) {
    outsb(port, hello, strlen(hello));
  }
  return 0;
}

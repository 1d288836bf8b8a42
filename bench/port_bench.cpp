// port_bench rep|loop BYTES: sends BYTES to COM1's data register, either as one
// rep outsb or as a loop of single-byte out instructions.
#include <sys/io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char *argv[])
{
  if (argc != 3 || (std::strcmp(argv[1], "rep") != 0 && std::strcmp(argv[1], "loop") != 0)) {
    std::fprintf(stderr, "usage: port_bench rep|loop BYTES\n");
    return 2;
  }
  constexpr unsigned short com1 = 0x3F8;
  const unsigned long bytes = std::strtoul(argv[2], nullptr, 0);
  if (ioperm(com1, 8, 1) != 0) {
    std::perror("ioperm");
    return 1;
  }
  std::vector<unsigned char> data(bytes, 'x');
  if (std::strcmp(argv[1], "rep") == 0) {
    outsb(com1, data.data(), data.size());
  } else {
    for (const unsigned char byte : data) {
      outb(byte, com1);
    }
  }
  return 0;
}

// decode_bytes: decodes each line of hex bytes on standard input as vuart does
// and prints "LENGTH WIDTH" for a port instruction, or "-" for anything else.
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "x86/port_instruction.h"

int main()
{
  std::string line;
  while (std::getline(std::cin, line)) {
    std::vector<std::uint8_t> code;
    for (std::size_t at = 0; at + 1 < line.size(); at += 2) {
      code.push_back(static_cast<std::uint8_t>(std::stoul(line.substr(at, 2), nullptr, 16)));
    }
    const auto decoded = vuart::decode_port_instruction(code);
    if (decoded) {
      std::printf("%zu %u\n", decoded->length, decoded->width);
    } else {
      std::printf("-\n");
    }
  }
  return 0;
}

#pragma once
// Bytes arriving on COM1's line: read from a file or a terminal as the UART
// asks for them, one at a time, so that none is taken before there is room.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vuart {

class LineInput {
 public:
  // fd is not owned. A file ends at its end; a non-blocking terminal only has
  // nothing yet when nothing has been typed.
  LineInput(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}

  std::optional<std::uint8_t> next();

 private:
  int fd_;
  std::string name_;
  std::vector<std::uint8_t> buffer_;
  std::size_t taken_ = 0;
  bool ended_ = false;
};

}  // namespace vuart

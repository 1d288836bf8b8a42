#pragma once
// Bytes arriving on COM1's line: read without waiting from a file, a pipe or a
// terminal as the UART asks for them, one at a time, so that none is taken
// before there is room and an empty line reads as "no data".

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vuart {

class LineInput {
 public:
  // fd is not owned and must be non-blocking. A regular file ends at its end;
  // a pipe, FIFO or terminal only has nothing yet.
  LineInput(int fd, std::string name);

  std::optional<std::uint8_t> next();
  // At the end of the run: how many bytes were still to come, read now from a
  // terminal or pipe (as far as they came within a moment), counted in a file.
  // A source that never ends (/dev/zero, a pipe from yes) is read no further than
  // `end_read_limit`, and `more` says so.
  struct Unread {
    std::uint64_t bytes;
    bool more;
  };
  Unread left_at_end();
  static constexpr std::uint64_t end_read_limit = 1U << 20;
  [[nodiscard]] const std::string &name() const { return name_; }

 private:
  int fd_;
  std::string name_;
  bool ends_ = false;  // a regular file: nothing comes after its end
  std::vector<std::uint8_t> buffer_;
  std::size_t taken_ = 0;
  bool ended_ = false;
};

}  // namespace vuart

#pragma once
// vuart's own output: its messages on standard error, and whole writes to a file descriptor.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "unique_fd.h"

namespace vuart {

// vuart's exit statuses of its own, as env(1) and timeout(1) use them.
constexpr int status_own_failure = 125;
constexpr int status_cannot_execute = 126;
constexpr int status_not_found = 127;

// Prints "vuart: MESSAGE" on standard error.
void report(std::string_view message);
// Prints "vuart: WHAT: strerror(errno)" on standard error.
void report_errno(std::string_view what);

// Writes all of data, retrying short writes; on failure reports "write WHAT" and returns false.
bool write_all(int fd, std::string_view data, std::string_view what);

// Where COM1's transmitted bytes go: collected per instruction, written in one piece.
class ByteSink {
 public:
  ByteSink(int fd, std::string_view name) : fd_(fd), name_(name) {}
  ByteSink(UniqueFd owned, std::string_view name) : owned_(std::move(owned)), fd_(owned_.get()), name_(name) {}
  void put(std::uint8_t byte) { pending_.push_back(byte); }
  void flush();
  [[nodiscard]] std::uint64_t total() const { return total_; }

 private:
  UniqueFd owned_;
  int fd_;
  std::string name_;
  std::vector<std::uint8_t> pending_;
  std::uint64_t total_ = 0;
};

}  // namespace vuart

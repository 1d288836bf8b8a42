#pragma once
// vuart's own output: its messages on standard error, and the outputs it writes for the program.

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

// One of vuart's outputs. Writes are whole, retried after short writes and, on a
// non-blocking terminal, after waiting for room. The first failure is reported,
// "vuart: write NAME: REASON", and remembered; later writes are dropped.
class Output {
 public:
  Output() = default;
  Output(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  Output(UniqueFd owned, std::string name) : owned_(std::move(owned)), fd_(owned_.get()), name_(std::move(name)) {}

  // Returns how many bytes reached the file: all of them, unless this write failed or an earlier one did.
  std::size_t write(std::string_view data);
  [[nodiscard]] bool enabled() const { return fd_ >= 0; }
  [[nodiscard]] int error() const { return error_; }  // the failure's errno, 0 while none

 private:
  UniqueFd owned_;
  int fd_ = -1;
  std::string name_;
  int error_ = 0;
};

// Where COM1's transmitted bytes go: collected per instruction, written in one piece.
class ByteSink {
 public:
  explicit ByteSink(Output &output) : output_(output) {}
  void put(std::uint8_t byte)
  {
    pending_.push_back(byte);
    if (pending_.size() >= 1U << 16) {
      flush();  // a long transfer goes out as it runs, not held whole
    }
  }
  void flush();
  [[nodiscard]] std::uint64_t total() const { return total_; }  // bytes actually written
  [[nodiscard]] int error() const { return output_.error(); }

 private:
  Output &output_;
  std::vector<std::uint8_t> pending_;
  std::uint64_t total_ = 0;
};

}  // namespace vuart

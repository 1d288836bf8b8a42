#pragma once
// The files vuart writes for the program (COM1, the trace, the program's terminal), none of which
// may block vuart.

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "files/messages.h"
#include "files/unique_fd.h"

namespace vuart {

// One of vuart's outputs. A regular file is written at once (its writes do not
// wait for anyone). Anything else (a pipe, a terminal, a socket) is written
// without blocking: what it cannot take yet waits in a buffer that the caller
// keeps within `capacity` by asking room() first, and flush() sends on when
// poll(2) says the descriptor is writable. The first failure is reported,
// "vuart: write NAME: REASON", and remembered; later writes are dropped.
class Output {
 public:
  static constexpr std::size_t capacity = 1U << 20;
  static constexpr std::size_t unlimited = std::numeric_limits<std::size_t>::max();

  Output() = default;
  // A file vuart opened itself, non-blocking unless it is a regular file.
  Output(UniqueFd owned, std::string name);
  // One of vuart's own standard streams, shared with its caller and maybe with
  // the program: a pipe or a terminal is opened anew, non-blocking, so that the
  // others keep the blocking file they had; a socket is sent to without waiting.
  static Output standard_stream(int fd, std::string name);

  // Takes all of data; returns how many bytes reached the file or wait for it:
  // none once a write has failed.
  std::size_t write(std::string_view data);
  // Writes what the file takes now; true when nothing waits.
  bool flush();
  // What may still be handed to write() before the buffer is full.
  [[nodiscard]] std::size_t room() const;
  [[nodiscard]] std::size_t waiting() const { return buffer_.size() - sent_; }
  [[nodiscard]] int fd() const { return fd_; }
  [[nodiscard]] bool enabled() const { return fd_ >= 0; }
  [[nodiscard]] int error() const { return error_; }  // the failure's errno, 0 while none
  [[nodiscard]] const std::string &name() const { return name_; }

 private:
  Output(int fd, UniqueFd owned, std::string name);
  void fail(int error);
  [[nodiscard]] ssize_t write_now(std::string_view data) const;
  // Writes what the file takes now, without waiting; returns how much that was.
  std::size_t write_available(std::string_view data);

  UniqueFd owned_;
  int fd_ = -1;
  std::string name_;
  int error_ = 0;
  bool direct_ = true;   // a regular file, written at once
  bool socket_ = false;  // sent to with MSG_DONTWAIT
  std::string buffer_;
  std::size_t sent_ = 0;  // of buffer_
};

// Where COM1's transmitted bytes go: collected per instruction, handed on in one piece.
class ByteSink {
 public:
  explicit ByteSink(Output &output) : output_(&output) {}
  void put(std::span<const std::uint8_t> bytes)
  {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    if (pending_.size() >= 1U << 16) {
      flush();  // a long transfer goes out as it runs, not held whole
    }
  }
  void flush();
  [[nodiscard]] Output &output() const { return *output_; }
  [[nodiscard]] std::uint64_t total() const { return total_; }  // bytes handed on
  [[nodiscard]] int error() const { return output_->error(); }

 private:
  Output *output_;
  std::vector<std::uint8_t> pending_;
  std::uint64_t total_ = 0;
};

}  // namespace vuart

#include "files/line_input.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "files/messages.h"

namespace vuart {

LineInput::LineInput(int fd, std::string name) : fd_(fd), name_(std::move(name))
{
  struct stat file {};
  ends_ = fstat(fd_, &file) == 0 && S_ISREG(file.st_mode);
}

std::optional<std::uint8_t> LineInput::next()
{
  if (taken_ == buffer_.size() && !ended_) {
    buffer_.resize(4096);
    ssize_t got;
    do {
      got = read(fd_, buffer_.data(), buffer_.size());
    } while (got < 0 && errno == EINTR);
    if (got < 0 && errno != EAGAIN) {
      report_errno("read " + name_);
      ended_ = true;
    }
    ended_ = ended_ || (got == 0 && ends_);
    buffer_.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    taken_ = 0;
  }
  if (taken_ == buffer_.size()) {
    return std::nullopt;
  }
  return buffer_[taken_++];
}

LineInput::Unread LineInput::left_at_end()
{
  std::uint64_t left = buffer_.size() - taken_;
  taken_ = buffer_.size();
  if (ended_) {
    return {left, false};
  }
  struct stat file {};
  if (ends_ && fstat(fd_, &file) == 0) {
    const off_t at = lseek(fd_, 0, SEEK_CUR);
    return {left + (at >= 0 && file.st_size > at ? static_cast<std::uint64_t>(file.st_size - at) : 0), false};
  }
  // A terminal passes bytes on through a buffer of its own, which the kernel
  // moves over before poll answers: what poll sees now is all there is.
  std::array<std::uint8_t, 4096> bytes{};
  pollfd source{fd_, POLLIN, 0};
  while (poll(&source, 1, 0) > 0 && (source.revents & POLLIN) != 0) {
    if (left >= end_read_limit) {
      return {left, true};
    }
    const ssize_t got = read(fd_, bytes.data(), bytes.size());
    if (got <= 0) {
      break;
    }
    left += static_cast<std::uint64_t>(got);
  }
  return {left, false};
}

}  // namespace vuart

#include "line_input.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "output.h"

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

}  // namespace vuart

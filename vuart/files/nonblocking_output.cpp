#include "files/nonblocking_output.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vuart {

Output::Output(int fd, UniqueFd owned, std::string name) : owned_(std::move(owned)), fd_(fd), name_(std::move(name))
{
  struct stat file {};
  direct_ = fstat(fd_, &file) == 0 && (S_ISREG(file.st_mode) || S_ISBLK(file.st_mode));
  socket_ = S_ISSOCK(file.st_mode);
}

Output::Output(UniqueFd owned, std::string name) : Output(owned.get(), std::move(owned), std::move(name)) {}

Output Output::standard_stream(int fd, std::string name)
{
  struct stat file {};
  if (fstat(fd, &file) == 0 && (S_ISFIFO(file.st_mode) || S_ISCHR(file.st_mode))) {
    UniqueFd reopened(
        open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (reopened.valid()) {
      return {std::move(reopened), std::move(name)};
    }
  }
  // A regular file or a socket; or a pipe whose reader has gone, which fails at once.
  Output shared(fd, UniqueFd(), std::move(name));
  shared.direct_ = shared.direct_ || !shared.socket_;
  return shared;
}

void Output::fail(int error)
{
  error_ = error;
  errno = error;
  report_errno("write " + name_);
  buffer_.clear();
  sent_ = 0;
}

ssize_t Output::write_now(std::string_view data) const
{
  return socket_ ? send(fd_, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                 : ::write(fd_, data.data(), data.size());
}

std::size_t Output::write(std::string_view data)
{
  if (error_ != 0) {
    return 0;
  }
  if (!direct_) {
    const std::size_t taken =
        waiting() == 0 ? write_available(data) : 0;  // straight to the file while nothing waits ahead
    if (error_ == 0) {
      buffer_.append(data.substr(taken));
    }
    return error_ != 0 ? 0 : data.size();
  }
  std::size_t done = 0;
  while (error_ == 0 && done < data.size()) {
    const ssize_t written = write_now(data.substr(done));
    if (written > 0) {
      done += static_cast<std::size_t>(written);
    } else if (written < 0 && errno == EAGAIN) {
      pollfd writable{fd_, POLLOUT, 0};  // a file someone else made non-blocking
      poll(&writable, 1, -1);
    } else if (written == 0 || errno != EINTR) {
      fail(written == 0 ? EIO : errno);
    }
  }
  return done;
}

std::size_t Output::write_available(std::string_view data)
{
  std::size_t taken = 0;
  while (error_ == 0 && taken < data.size()) {
    const ssize_t written = write_now(data.substr(taken));
    if (written > 0) {
      taken += static_cast<std::size_t>(written);
    } else if (written < 0 && errno == EAGAIN) {
      break;
    } else if (written == 0 || errno != EINTR) {
      fail(written == 0 ? EIO : errno);
    }
  }
  return taken;
}

bool Output::flush()
{
  if (error_ == 0 && sent_ < buffer_.size()) {
    sent_ += write_available(std::string_view(buffer_).substr(sent_));
    if (error_ == 0 && sent_ < buffer_.size()) {
      if (sent_ >= capacity) {
        buffer_.erase(0, sent_);  // keep the buffer within twice the bound
        sent_ = 0;
      }
      return false;
    }
  }
  buffer_.clear();
  sent_ = 0;
  return true;
}

std::size_t Output::room() const
{
  if (direct_ || error_ != 0) {
    return unlimited;  // nothing waits: written at once, or dropped
  }
  return waiting() < capacity ? capacity - waiting() : 0;
}

void ByteSink::flush()
{
  if (pending_.empty()) {
    return;
  }
  total_ += output_->write({reinterpret_cast<const char *>(pending_.data()), pending_.size()});
  pending_.clear();
}

}  // namespace vuart

#include "output.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vuart {

void report(std::string_view message)
{
  const std::string line = "vuart: " + std::string(message) + "\n";
  [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line.data(), line.size());
}

void report_errno(std::string_view what)
{
  report(std::string(what) + ": " + std::strerror(errno));
}

std::size_t Output::write(std::string_view data)
{
  std::size_t done = 0;
  while (error_ == 0 && done < data.size()) {
    const ssize_t written = ::write(fd_, data.data() + done, data.size() - done);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
    } else if (written < 0 && errno == EAGAIN) {
      pollfd writable{fd_, POLLOUT, 0};  // a non-blocking terminal waits for its reader
      poll(&writable, 1, -1);
    } else if (written == 0 || errno != EINTR) {
      error_ = written == 0 ? EIO : errno;
      errno = error_;
      report_errno("write " + name_);
    }
  }
  return done;
}

void ByteSink::flush()
{
  if (pending_.empty()) {
    return;
  }
  total_ += output_.write({reinterpret_cast<const char *>(pending_.data()), pending_.size()});
  pending_.clear();
}

}  // namespace vuart

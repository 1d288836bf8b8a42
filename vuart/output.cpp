#include "output.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

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

bool write_all(int fd, std::string_view data, std::string_view what)
{
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written < 0 && errno == EAGAIN) {
      pollfd writable{fd, POLLOUT, 0};  // a non-blocking terminal waits for its reader
      poll(&writable, 1, -1);
      continue;
    }
    if (written <= 0) {
      report_errno("write " + std::string(what));
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

void ByteSink::flush()
{
  if (pending_.empty()) {
    return;
  }
  total_ += pending_.size();
  write_all(fd_, {reinterpret_cast<const char *>(pending_.data()), pending_.size()}, name_);
  pending_.clear();
}

}  // namespace vuart

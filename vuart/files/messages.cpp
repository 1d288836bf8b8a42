#include "files/messages.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
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

std::string shell_quoted(std::string_view word)
{
  const auto safe = [](unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("@%+=:,./_-", c) != nullptr;
  };
  const auto printable = [](unsigned char c) { return c >= 0x20 && c < 0x7F; };
  bool all_safe = !word.empty();
  bool all_printable = true;
  for (const char byte : word) {
    const auto c = static_cast<unsigned char>(byte);
    all_safe = all_safe && safe(c);
    all_printable = all_printable && printable(c);
  }
  if (all_safe) {
    return std::string(word);
  }
  if (all_printable) {
    std::string quoted = "'";
    for (const char c : word) {
      quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
  }
  std::string quoted = "$'";  // control bytes as escapes: nothing can end the line
  for (const char byte : word) {
    const auto c = static_cast<unsigned char>(byte);
    if (c == '\\' || c == '\'') {
      quoted += '\\';
      quoted += static_cast<char>(c);
    } else if (c == '\n') {
      quoted += "\\n";
    } else if (c == '\t') {
      quoted += "\\t";
    } else if (printable(c)) {
      quoted += static_cast<char>(c);
    } else {
      std::array<char, 5> escape{};
      std::snprintf(escape.data(), escape.size(), "\\x%02x", c);
      quoted += escape.data();
    }
  }
  return quoted + "'";
}

std::string signal_name(int signal)
{
  const char *abbreviation = sigabbrev_np(signal);
  return abbreviation != nullptr ? std::string("SIG") + abbreviation : "signal " + std::to_string(signal);
}

}  // namespace vuart

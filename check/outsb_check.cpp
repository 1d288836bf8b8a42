// outsb-check [FILE]: says whether a COM1 capture (a virtual machine monitor's
// serial log, or standard input) holds exactly what the diagnostic sends, and if
// not, where and how it differs.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr int status_match = 0, status_differs = 1, status_bad_input = 2;

// What the diagnostic sends: "hello" by five single-byte outs, then one line eleven times by rep outsb.
constexpr std::string_view hello = "hello";
constexpr std::string_view line = "hello theresssssssssssssssssssssssssssssssssss\n";
constexpr std::size_t line_count = 11;
const std::string expected = [] {
  std::string all(hello);
  for (std::size_t i = 0; i < line_count; ++i) {
    all += line;
  }
  return all;
}();

// The guest image marks the root run with these lines.
constexpr std::string_view begin_marker = "<<<outsb-guest begin>>>";
constexpr std::string_view end_marker = "<<<outsb-guest end>>>";

std::optional<std::string> read_capture(const char *path, std::string &error)
{
  const int fd = path != nullptr ? open(path, O_RDONLY | O_CLOEXEC) : STDIN_FILENO;
  if (fd < 0) {
    error = std::strerror(errno);
    return std::nullopt;
  }
  std::string bytes;
  std::array<char, 65536> buffer{};
  ssize_t got;
  while ((got = read(fd, buffer.data(), buffer.size())) != 0) {
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      error = std::strerror(errno);
      bytes.clear();
      break;
    }
    bytes.append(buffer.data(), static_cast<std::size_t>(got));
  }
  if (fd != STDIN_FILENO) {
    close(fd);
  }
  if (got < 0) {
    return std::nullopt;
  }
  return bytes;
}

// Where offset `at` of the diagnostic's output was sent from.
std::string transfer_at(std::size_t at)
{
  if (at < hello.size()) {
    return "single-byte out " + std::to_string(at + 1) + " of " + std::to_string(hello.size());
  }
  if (at >= expected.size()) {
    return "after the last transfer";
  }
  const std::size_t into = at - hello.size();
  return "rep outsb line " + std::to_string(into / line.size() + 1) + " of " + std::to_string(line_count) + ", byte " +
         std::to_string(into % line.size() + 1) + " of " + std::to_string(line.size());
}

std::string plural(std::size_t count, const char *thing)
{
  return std::to_string(count) + " " + thing + (count == 1 ? "" : "s");
}

// Explains how `received` differs from the diagnostic's output.
void diagnose(std::string_view received)
{
  const auto mismatch = std::mismatch(received.begin(), received.end(), expected.begin(), expected.end());
  const auto first = static_cast<std::size_t>(mismatch.first - received.begin());
  if (received.size() < expected.size()) {
    std::printf("%s missing: %zu received, %zu expected\n", plural(expected.size() - received.size(), "byte").c_str(),
                received.size(), expected.size());
  } else if (received.size() > expected.size()) {
    std::printf("%s extra: %zu received, %zu expected\n", plural(received.size() - expected.size(), "byte").c_str(),
                received.size(), expected.size());
  } else {
    std::printf("the right number of bytes, %zu, but not the right ones\n", expected.size());
  }
  std::printf("first difference at offset %zu, in %s\n", first, transfer_at(first).c_str());

  std::string without_cr;
  std::size_t crs = 0;
  for (std::size_t i = 0; i < received.size(); ++i) {
    if (received[i] == '\r' && i + 1 < received.size() && received[i + 1] == '\n') {
      ++crs;
    } else {
      without_cr += received[i];
    }
  }
  if (crs > 0 && without_cr == expected) {
    std::printf("looks like newline translation: a CR was added before each of the %zu LFs\n", crs);
    return;
  }
  if (received.size() < expected.size()) {
    const std::size_t gap = expected.size() - received.size();
    if (received.substr(first) == std::string_view(expected).substr(first + gap)) {
      if (gap == 1) {
        std::printf("one byte dropped: offset %zu\n", first);
      } else {
        std::printf("looks like a dropped FIFO burst: %zu consecutive bytes lost from offset %zu (%s) to %zu (%s)\n",
                    gap, first, transfer_at(first).c_str(), first + gap - 1, transfer_at(first + gap - 1).c_str());
      }
    }
  } else if (received.size() > expected.size()) {
    const std::size_t extra = received.size() - expected.size();
    if (received.substr(first + extra) == std::string_view(expected).substr(first)) {
      std::printf("%s inserted at offset %zu\n", plural(extra, "byte").c_str(), first);
    }
  }
}

}  // namespace

int main(int argc, char *argv[])
{
  if (argc > 2 || (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))) {
    std::fputs("Usage: outsb-check [FILE]\n"
               "Checks a COM1 capture (FILE, or standard input) for exactly the 522 bytes the outsb\n"
               "diagnostic sends, between the guest image's markers if it has them.\n"
               "Exit status: 0 when they are there, 1 when not (with a diagnosis), 2 for bad input.\n",
               argc > 2 ? stderr : stdout);
    return argc > 2 ? status_bad_input : status_match;
  }
  const char *path = argc == 2 && std::strcmp(argv[1], "-") != 0 ? argv[1] : nullptr;
  const char *name = path != nullptr ? path : "standard input";
  std::string error;
  const std::optional<std::string> capture = read_capture(path, error);
  if (!capture) {
    std::fprintf(stderr, "outsb-check: %s: %s\n", name, error.c_str());
    return status_bad_input;
  }
  if (capture->empty()) {
    std::fprintf(stderr, "outsb-check: %s: empty capture\n", name);
    return status_bad_input;
  }
  const std::string_view all = *capture;
  const std::size_t begin = all.find(begin_marker);
  if (begin == std::string_view::npos) {
    const std::size_t found = all.find(expected);
    if (found != std::string_view::npos) {
      std::printf("%s: the diagnostic's %zu bytes, whole and in order, at offset %zu (no markers)\n", name,
                  expected.size(), found);
      return status_match;
    }
    const std::size_t start = all.find(hello);
    std::printf("%s: no markers, and not the diagnostic's %zu bytes anywhere\n", name, expected.size());
    if (start == std::string_view::npos) {
      std::printf("not even \"hello\": nothing of the diagnostic's output arrived\n");
    } else {
      std::printf("compared from offset %zu, the first \"hello\", to the end:\n", start);
      diagnose(all.substr(start));
    }
    return status_differs;
  }
  std::size_t start = begin + begin_marker.size();
  start += all.substr(start).starts_with("\r\n") ? 2 : all.substr(start).starts_with("\n") ? 1 : 0;
  const std::size_t end = all.find(end_marker, start);
  const std::string_view received = all.substr(start, end == std::string_view::npos ? end : end - start);
  if (received == expected) {
    std::printf("%s: the diagnostic's %zu bytes, whole and in order, between the markers\n", name, expected.size());
    return status_match;
  }
  std::printf("%s: not the diagnostic's %zu bytes between the markers%s\n", name, expected.size(),
              end == std::string_view::npos ? " (no end marker: compared to the end)" : "");
  diagnose(received);
  return status_differs;
}

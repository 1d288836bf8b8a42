// outsb-check [FILE]: says whether a COM1 capture (a virtual machine monitor's
// serial log, or standard input) holds exactly what the diagnostic sends, once,
// and if not, where and how it differs. It reads any input in bounded memory.
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
#include <utility>
#include <vector>

#include "com1_bytes.h"

namespace {

// 0: the bytes whole and once. 1: the VMM lost, changed, added or replayed some.
// 2: the input is no capture. 3: what a UART that sends at its line rate gives a
// program that does not wait for it: the VMM is right.
constexpr int status_match = 0, status_differs = 1, status_bad_input = 2, status_paced = 3;

// What the diagnostic sends: "hello" by five single-byte outs, then one line eleven times by rep outsb.
constexpr std::string_view hello = "hello";
constexpr std::string_view line = com1_bytes::line;
constexpr std::size_t line_count = 11;
constexpr std::size_t hellos_sent = 1 + line_count;  // each line starts with one
const std::string expected = [] {
  std::string all(hello);
  for (std::size_t i = 0; i < line_count; ++i) {
    all += line;
  }
  return all;
}();

// The guest image marks the root run with these lines.
constexpr std::string_view begin_marker = com1_bytes::begin_marker;
constexpr std::string_view end_marker = com1_bytes::end_marker;

// A 16550 holds at most this many bytes that it has not sent: its shift register
// and its 16-byte transmit FIFO (without the FIFO, the one-byte holding register).
constexpr std::size_t uart_holds = 17;

// Input beyond this is no serial capture of one boot; what is kept of it is far less.
constexpr std::size_t most_input = std::size_t{256} << 20;
constexpr std::size_t kept_bytes = 64U << 10;  // from the first marker or "hello" on

// Reads a capture in pieces, counting what it must see whole and keeping only
// the stretch from the first begin marker, and from the first "hello", on.
class Capture {
 public:
  void take(std::string_view piece)
  {
    const std::size_t carried = carry_.size();
    std::string window = carry_ + std::string(piece);
    count(window, carried, hello, hellos_);
    count(window, carried, begin_marker, begin_markers_);
    count(window, carried, end_marker, end_markers_);
    count(window, carried, expected, wholes_);
    keep(window, carried, begin_marker, from_begin_);
    keep(window, carried, hello, from_hello_);
    // Where the first end marker after the first begin marker ends, however far on.
    const std::size_t window_start = total_ - carried;
    if (const std::size_t begin = window.find(begin_marker); !begin_end_ && begin != std::string::npos) {
      begin_end_ = window_start + begin + begin_marker.size();
    }
    if (const std::size_t from = begin_end_ && *begin_end_ > window_start ? *begin_end_ - window_start : 0;
        begin_end_ && !end_start_) {
      if (const std::size_t end = window.find(end_marker, from); end != std::string::npos) {
        end_start_ = window_start + end;
      }
    }
    total_ += piece.size();
    const std::size_t longest = expected.size() - 1;
    carry_ = window.substr(window.size() > longest ? window.size() - longest : 0);
  }

  [[nodiscard]] std::size_t total() const { return total_; }
  [[nodiscard]] std::size_t hellos() const { return hellos_; }
  [[nodiscard]] std::size_t begin_markers() const { return begin_markers_; }
  [[nodiscard]] std::size_t end_markers() const { return end_markers_; }
  [[nodiscard]] std::size_t wholes() const { return wholes_; }
  [[nodiscard]] const std::optional<std::string> &from_begin() const { return from_begin_; }
  [[nodiscard]] const std::optional<std::string> &from_hello() const { return from_hello_; }
  // The bytes from the end of the first begin marker to the first end marker after it, when there is one.
  [[nodiscard]] std::optional<std::size_t> between_markers() const
  {
    return begin_end_ && end_start_ ? std::optional(*end_start_ - *begin_end_) : std::nullopt;
  }

 private:
  // Counts the occurrences that end in the new part of the window, the rest having been counted before.
  static void count(std::string_view window, std::size_t carried, std::string_view pattern, std::size_t &counter)
  {
    for (std::size_t at = window.find(pattern); at != std::string_view::npos; at = window.find(pattern, at + 1)) {
      counter += at + pattern.size() > carried ? 1 : 0;
    }
  }
  // Keeps what follows the first occurrence of `pattern`, from its start, up to kept_bytes.
  static void keep(std::string_view window, std::size_t carried, std::string_view pattern,
                   std::optional<std::string> &kept)
  {
    if (!kept) {
      const std::size_t at = window.find(pattern);
      if (at == std::string_view::npos) {
        return;
      }
      kept = std::string(window.substr(at, kept_bytes));
      return;
    }
    const std::string_view fresh = window.substr(carried);
    kept->append(fresh.substr(0, kept_bytes - std::min(kept_bytes, kept->size())));
  }

  std::string carry_;  // the end of what came before, for patterns that span two pieces
  std::size_t total_ = 0, hellos_ = 0, begin_markers_ = 0, end_markers_ = 0, wholes_ = 0;
  std::optional<std::string> from_begin_, from_hello_;
  std::optional<std::size_t> begin_end_, end_start_;  // offsets in the whole input
};

std::optional<Capture> read_capture(const char *path, std::string &error)
{
  const int fd = path != nullptr ? open(path, O_RDONLY | O_CLOEXEC) : STDIN_FILENO;
  if (fd < 0) {
    error = std::strerror(errno);
    return std::nullopt;
  }
  Capture capture;
  std::array<char, 65536> buffer{};
  ssize_t got = 0;
  while (capture.total() <= most_input && (got = read(fd, buffer.data(), buffer.size())) != 0) {
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      error = std::strerror(errno);
      break;
    }
    capture.take(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
  }
  if (fd != STDIN_FILENO) {
    close(fd);
  }
  if (got < 0) {
    return std::nullopt;
  }
  if (capture.total() > most_input) {
    error = "more than " + std::to_string(most_input >> 20) + " MiB: not the capture of one boot";
    return std::nullopt;
  }
  return capture;
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

// Whether `received` is what a 16550 sending at its line rate passes on from a
// program that writes faster than that: the diagnostic's bytes in order, some
// missing, where no run of bytes that follow each other in what was sent is
// longer than the UART holds, and the first byte, sent to an idle UART, is there.
bool paced(std::string_view received)
{
  if (received.empty() || received.size() >= expected.size() || received.front() != expected.front()) {
    return false;
  }
  // run[j]: the shortest run of consecutive sent bytes that ends with the latest
  // received byte placed at expected[j]; 0 where it cannot be placed there.
  std::vector<std::size_t> run(expected.size(), 0);
  run[0] = 1;
  for (std::size_t i = 1; i < received.size(); ++i) {
    std::vector<std::size_t> next(expected.size(), 0);
    bool after_a_gap = false;  // the previous byte could lie before expected[j - 1]: bytes were dropped between
    for (std::size_t j = 1; j < expected.size(); ++j) {
      after_a_gap = after_a_gap || (j >= 2 && run[j - 2] != 0);
      if (expected[j] != received[i]) {
        continue;
      }
      if (after_a_gap) {
        next[j] = 1;
      } else if (run[j - 1] != 0 && run[j - 1] < uart_holds) {
        next[j] = run[j - 1] + 1;
      }
    }
    run = std::move(next);
    if (std::all_of(run.begin(), run.end(), [](std::size_t length) { return length == 0; })) {
      return false;
    }
  }
  return true;
}

// The first stretch of `received` that repeats what came just before it, when
// the extra bytes are exactly that: a replayed transfer.
std::optional<std::pair<std::size_t, std::size_t>> replayed(std::string_view received, std::size_t first)
{
  const std::size_t extra = received.size() - expected.size();
  for (std::size_t at = std::max<std::size_t>(extra, 1); at <= std::min(first, expected.size()); ++at) {
    if (received.substr(at, extra) == std::string_view(expected).substr(at - extra, extra) &&
        received.substr(at + extra) == std::string_view(expected).substr(at)) {
      return std::pair{at - extra, at};
    }
  }
  return std::nullopt;
}

// A stretch of `received` that arrives again right after itself: a replayed
// burst, which pacing never gives. What the diagnostic sends repeats itself in
// a row only in runs of one byte ("sss") and in its first "hellohello", so the
// stretch is longer than "hello" and not one byte over and over.
std::optional<std::pair<std::size_t, std::size_t>> arrived_twice(std::string_view received)
{
  constexpr std::size_t shortest = hello.size() + 1;
  for (std::size_t length = shortest; 2 * length <= received.size(); ++length) {
    for (std::size_t at = 0; at + 2 * length <= received.size(); ++at) {
      const std::string_view stretch = received.substr(at, length);
      if (stretch == received.substr(at + length, length) &&
          stretch.find_first_not_of(stretch.front()) != std::string_view::npos) {
        return std::pair{at, length};
      }
    }
  }
  return std::nullopt;
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
    return;
  }
  if (received.size() == expected.size()) {
    return;
  }
  const std::size_t extra = received.size() - expected.size();
  if (const auto twice = replayed(received, first)) {
    if (extra == expected.size()) {
      std::printf("the whole run arrived twice: replayed\n");
    } else {
      std::printf("offsets %zu to %zu (%s to %s) arrived twice: replayed\n", twice->first, twice->second - 1,
                  transfer_at(twice->first).c_str(), transfer_at(twice->second - 1).c_str());
    }
  } else if (received.substr(first + extra) == std::string_view(expected).substr(first)) {
    std::printf("%s inserted at offset %zu\n", plural(extra, "byte").c_str(), first);
  }
}

// The verdict on the bytes between the markers, or from the first "hello" on.
int judge(const char *name, std::string_view received, const char *where)
{
  if (received == expected) {
    std::printf("%s: the diagnostic's %zu bytes, whole and in order, %s\n", name, expected.size(), where);
    return status_match;
  }
  if (const auto twice = paced(received) ? arrived_twice(received) : std::nullopt) {
    std::printf("%s: %zu of the diagnostic's bytes, in order but for bytes %zu to %zu, which arrived again right "
                "after them, %s: replayed\n",
                name, received.size(), twice->first, twice->first + twice->second - 1, where);
    return status_differs;
  }
  if (paced(received)) {
    std::printf("%s: %zu of the diagnostic's %zu bytes, in order, %s: what a UART that sends at its line rate\n"
                "passes on when the program does not wait for it (only the first bytes of each burst, as many as\n"
                "the 16550's shift register and holding register or FIFO take); no fault of the VMM's\n",
                name, received.size(), expected.size(), where);
    return status_paced;
  }
  std::printf("%s: not the diagnostic's %zu bytes %s\n", name, expected.size(), where);
  diagnose(received);
  return status_differs;
}

int judge_between_markers(const char *name, const Capture &capture)
{
  std::string_view received = *capture.from_begin();
  received.remove_prefix(begin_marker.size());
  const std::size_t line_end = received.starts_with("\r\n") ? 2 : received.starts_with("\n") ? 1 : 0;
  received.remove_prefix(line_end);
  const std::size_t end = received.find(end_marker);
  if (capture.begin_markers() > 1 || capture.end_markers() > 1) {
    std::printf("%s: the guest's markers came %zu and %zu times, where it writes each once: replayed\n", name,
                capture.begin_markers(), capture.end_markers());
    return status_differs;
  }
  if (end == 0) {
    // The guest reports how the diagnostic ended just after the end marker.
    const std::string_view after = received.substr(end_marker.size());
    const std::size_t report = after.find("outsb-guest: root: ");
    std::string_view said = report == std::string_view::npos ? "" : after.substr(report);
    said = said.substr(0, said.find('\n'));
    std::printf("%s: nothing between the markers: the diagnostic sent nothing%s%.*s\n", name,
                said.empty() ? "" : "; the guest says: ", static_cast<int>(said.size()), said.data());
    return status_differs;
  }
  if (end == std::string_view::npos && capture.between_markers()) {
    std::printf("%s: %zu bytes between the markers, where the diagnostic sends %zu\n", name,
                *capture.between_markers() - line_end, expected.size());
    diagnose(received.substr(0, std::min(received.size(), 4 * expected.size())));
    return status_differs;
  }
  if (end == std::string_view::npos) {
    const bool cut = received.size() + begin_marker.size() >= kept_bytes;
    std::printf("%s: no end marker %s: the capture was cut off, or the VMM lost what followed\n", name,
                cut ? "in the rest of the capture" : "after the begin marker");
    judge(name, received.substr(0, std::min(received.size(), 4 * expected.size())), "after the begin marker");
    return status_differs;
  }
  return judge(name, received.substr(0, end), "between the markers");
}

int judge_without_markers(const char *name, const Capture &capture)
{
  if (!capture.from_hello()) {
    std::printf("%s: no markers, and not even \"hello\": nothing of the diagnostic's output arrived\n", name);
    return status_differs;
  }
  if (capture.hellos() > hellos_sent || capture.wholes() > 1) {
    std::printf("%s: \"hello\" came %zu times, where the diagnostic sends it %zu times: replayed\n", name,
                capture.hellos(), hellos_sent);
    diagnose(std::string_view(*capture.from_hello()).substr(0, 4 * expected.size()));
    return status_differs;
  }
  if (capture.wholes() == 1) {
    std::printf("%s: the diagnostic's %zu bytes, whole and in order, once (no markers)\n", name, expected.size());
    return status_match;
  }
  std::string_view received = *capture.from_hello();
  return judge(name, received.substr(0, std::min(received.size(), expected.size())),
               "from the first \"hello\" (no markers)");
}

}  // namespace

int main(int argc, char *argv[])
{
  if (argc > 2 || (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))) {
    std::fputs("Usage: outsb-check [FILE]\n"
               "Checks a COM1 capture (FILE, or standard input) for exactly the 522 bytes the outsb\n"
               "diagnostic sends, once, between the guest image's markers if it has them.\n"
               "Exit status: 0 when they are there; 1 when bytes were lost, changed, added or replayed\n"
               "(with a diagnosis); 2 for input that is no capture; 3 when the capture is what a UART\n"
               "that sends at its line rate passes on from a program that does not wait for it.\n",
               argc > 2 ? stderr : stdout);
    return argc > 2 ? status_bad_input : status_match;
  }
  const char *path = argc == 2 && std::strcmp(argv[1], "-") != 0 ? argv[1] : nullptr;
  const char *name = path != nullptr ? path : "standard input";
  std::string error;
  const std::optional<Capture> capture = read_capture(path, error);
  if (!capture) {
    std::fprintf(stderr, "outsb-check: %s: %s\n", name, error.c_str());
    return status_bad_input;
  }
  if (capture->total() == 0) {
    std::fprintf(stderr, "outsb-check: %s: empty capture\n", name);
    return status_bad_input;
  }
  return capture->from_begin() ? judge_between_markers(name, *capture) : judge_without_markers(name, *capture);
}

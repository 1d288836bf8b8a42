#pragma once
// The trace: one JSON object per line, written as events happen.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "files/nonblocking_output.h"
#include "files/unique_fd.h"
#include "trace/json.h"

namespace vuart {

class TraceLog {
 public:
  TraceLog() = default;  // records nothing
  explicit TraceLog(UniqueFd fd) : output_(std::move(fd), "trace") {}
  [[nodiscard]] bool enabled() const { return output_.enabled(); }
  [[nodiscard]] int error() const { return output_.error(); }
  [[nodiscard]] Output &output() { return output_; }
  // How many bytes one more line may carry now without overfilling the trace's buffer.
  [[nodiscard]] std::size_t room_for_bytes() const;
  void write(const JsonObject &event);
  void write_text(std::string_view text) { output_.write(text); }

 private:
  Output output_;
};

// One trace line with a byte string of any size, written out in pieces as it is
// built, so that it never sits in memory whole: the fields before the bytes,
// the bytes as they come, then the fields after them.
class TraceLine {
 public:
  // Not `recorded`: the line is left out (its ports are not the ones traced).
  TraceLine(TraceLog &log, const JsonObject &before, std::string_view bytes_name, bool recorded = true);
  void bytes(std::span<const std::uint8_t> data);
  void finish(const JsonObject &after);

 private:
  static constexpr std::size_t piece = 1U << 16;
  TraceLog &log_;
  bool recorded_;
  std::string text_;
};

}  // namespace vuart

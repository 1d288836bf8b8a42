#pragma once
// The trace: one JSON object per line, written as events happen.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "output.h"
#include "unique_fd.h"

namespace vuart {

// Bytes as a JSON string in which each byte is the code point of the same value
// (U+0000-U+00FF), so any byte sequence round-trips and text stays readable.
std::string json_bytes(std::span<const std::uint8_t> bytes);

// Builds one JSON object, field by field.
class JsonObject {
 public:
  JsonObject &text(std::string_view name, std::string_view value);
  JsonObject &number(std::string_view name, std::int64_t value);
  JsonObject &flag(std::string_view name, bool value);
  JsonObject &bytes(std::string_view name, std::span<const std::uint8_t> data);
  [[nodiscard]] std::string line() const { return text_ + "}\n"; }

 private:
  void key(std::string_view name);
  std::string text_ = "{";
};

class TraceLog {
 public:
  TraceLog() = default;  // records nothing
  explicit TraceLog(UniqueFd fd) : output_(std::move(fd), "trace") {}
  [[nodiscard]] bool enabled() const { return output_.enabled(); }
  [[nodiscard]] int error() const { return output_.error(); }
  void write(const JsonObject &event);

 private:
  Output output_;
};

}  // namespace vuart

#pragma once
// JSON objects written field by field, and byte strings in JSON.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vuart {

// Bytes as a JSON string in which each byte is the code point of the same value
// (U+0000-U+00FF), so any byte sequence round-trips and text stays readable.
std::string json_bytes(std::span<const std::uint8_t> bytes);
// The same without the quotes, appended.
void append_json_bytes(std::span<const std::uint8_t> bytes, std::string &to);

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

}  // namespace vuart

#include "trace/json.h"

#include <array>
#include <cstdio>

namespace vuart {

void append_json_bytes(std::span<const std::uint8_t> bytes, std::string &to)
{
  for (const std::uint8_t byte : bytes) {
    switch (byte) {
    case '"': to += "\\\""; break;
    case '\\': to += "\\\\"; break;
    case '\n': to += "\\n"; break;
    case '\r': to += "\\r"; break;
    case '\t': to += "\\t"; break;
    default:
      if (byte < 0x20 || byte >= 0x7F) {
        std::array<char, 7> escape{};
        std::snprintf(escape.data(), escape.size(), "\\u%04x", byte);
        to += escape.data();
      } else {
        to += static_cast<char>(byte);
      }
    }
  }
}

std::string json_bytes(std::span<const std::uint8_t> bytes)
{
  std::string quoted = "\"";
  append_json_bytes(bytes, quoted);
  return quoted + "\"";
}

void JsonObject::key(std::string_view name)
{
  if (text_.size() > 1) {
    text_ += ",";
  }
  text_ += "\"";
  text_ += name;
  text_ += "\":";
}

JsonObject &JsonObject::text(std::string_view name, std::string_view value)
{
  key(name);
  text_ += json_bytes({reinterpret_cast<const std::uint8_t *>(value.data()), value.size()});
  return *this;
}

JsonObject &JsonObject::number(std::string_view name, std::int64_t value)
{
  key(name);
  text_ += std::to_string(value);
  return *this;
}

JsonObject &JsonObject::flag(std::string_view name, bool value)
{
  key(name);
  text_ += value ? "true" : "false";
  return *this;
}

JsonObject &JsonObject::bytes(std::string_view name, std::span<const std::uint8_t> data)
{
  key(name);
  text_ += json_bytes(data);
  return *this;
}

}  // namespace vuart

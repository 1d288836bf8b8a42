#include "json.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "output.h"

namespace vuart {

std::string json_bytes(std::span<const std::uint8_t> bytes)
{
  std::string quoted = "\"";
  for (const std::uint8_t byte : bytes) {
    switch (byte) {
    case '"': quoted += "\\\""; break;
    case '\\': quoted += "\\\\"; break;
    case '\n': quoted += "\\n"; break;
    case '\r': quoted += "\\r"; break;
    case '\t': quoted += "\\t"; break;
    default:
      if (byte < 0x20 || byte >= 0x7F) {
        std::array<char, 7> escape{};
        std::snprintf(escape.data(), escape.size(), "\\u%04x", byte);
        quoted += escape.data();
      } else {
        quoted += static_cast<char>(byte);
      }
    }
  }
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

void TraceLog::write(const JsonObject &event)
{
  if (enabled()) {
    output_.write(event.line());
  }
}

}  // namespace vuart

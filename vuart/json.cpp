#include "json.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "output.h"

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

std::size_t TraceLog::room_for_bytes() const
{
  static constexpr std::size_t fields = 4096;          // what a line holds besides its bytes
  static constexpr std::size_t escaped_byte_size = 6;  // \u00XX
  const std::size_t room = output_.room();
  if (!enabled() || room == Output::unlimited) {
    return Output::unlimited;
  }
  return room > fields ? (room - fields) / escaped_byte_size : 0;
}

void TraceLog::write(const JsonObject &event)
{
  if (enabled()) {
    output_.write(event.line());
  }
}

TraceLine::TraceLine(TraceLog &log, const JsonObject &before, std::string_view bytes_name) : log_(log)
{
  if (log_.enabled()) {
    text_ = before.line();
    text_.resize(text_.size() - 2);  // the object goes on
    text_ += ",\"" + std::string(bytes_name) + "\":\"";
  }
}

void TraceLine::bytes(std::span<const std::uint8_t> data)
{
  if (!log_.enabled()) {
    return;
  }
  for (std::size_t at = 0; at < data.size(); at += piece) {
    append_json_bytes(data.subspan(at, std::min(piece, data.size() - at)), text_);
    if (text_.size() >= piece) {
      log_.write_text(text_);
      text_.clear();
    }
  }
}

void TraceLine::finish(const JsonObject &after)
{
  if (log_.enabled()) {
    const std::string fields = after.line();
    text_ += fields.size() > 3 ? "\"," + fields.substr(1) : "\"}\n";
    log_.write_text(text_);
  }
}

}  // namespace vuart

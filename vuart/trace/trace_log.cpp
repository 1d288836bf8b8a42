#include "trace/trace_log.h"

#include <algorithm>

namespace vuart {

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

TraceLine::TraceLine(TraceLog &log, const JsonObject &before, std::string_view bytes_name, bool recorded)
    : log_(log), recorded_(recorded && log.enabled())
{
  if (recorded_) {
    text_ = before.line();
    text_.resize(text_.size() - 2);  // the object goes on
    text_ += ",\"" + std::string(bytes_name) + "\":\"";
  }
}

void TraceLine::bytes(std::span<const std::uint8_t> data)
{
  if (!recorded_) {
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
  if (recorded_) {
    const std::string fields = after.line();
    text_ += fields.size() > 3 ? "\"," + fields.substr(1) : "\"}\n";
    log_.write_text(text_);
  }
}

}  // namespace vuart

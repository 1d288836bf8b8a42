#include "trace/port_filter.h"

#include <algorithm>
#include <charconv>

namespace vuart {

namespace {

std::optional<std::uint32_t> port_number(std::string_view text)
{
  int base = 10;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    text.remove_prefix(2);
    base = 16;
  }
  std::uint32_t number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || number > 0xFFFF) {
    return std::nullopt;
  }
  return number;
}

}  // namespace

std::optional<PortFilter> PortFilter::parse(std::string_view list)
{
  PortFilter filter;
  while (true) {
    const std::string_view item = list.substr(0, list.find(','));
    const std::size_t dash = item.find('-');
    const auto first = port_number(item.substr(0, dash));
    const auto last = dash == std::string_view::npos ? first : port_number(item.substr(dash + 1));
    if (!first || !last || *first > *last) {
      return std::nullopt;
    }
    filter.ranges_.emplace_back(*first, *last);
    if (item.size() == list.size()) {
      return filter;
    }
    list.remove_prefix(item.size() + 1);
  }
}

bool PortFilter::covers(std::uint16_t port, unsigned width) const
{
  const std::uint32_t last = std::uint32_t{port} + (width > 0 ? width - 1 : 0);
  return ranges_.empty() ||
         std::ranges::any_of(ranges_, [&](const auto &range) { return port <= range.second && range.first <= last; });
}

}  // namespace vuart

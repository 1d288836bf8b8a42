#pragma once
// The ports whose events the trace records (--trace-ports): every port, or the
// ranges a user names.

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace vuart {

class PortFilter {
 public:
  PortFilter() = default;  // every port
  // "0x3F8-0x3FF,0x80,1016": ports and ranges, hexadecimal with 0x or decimal; nullopt if malformed.
  static std::optional<PortFilter> parse(std::string_view list);
  // Whether an access to ports port .. port + width - 1 touches one of them.
  [[nodiscard]] bool covers(std::uint16_t port, unsigned width = 1) const;

 private:
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges_;  // first and last; none: every port
};

}  // namespace vuart

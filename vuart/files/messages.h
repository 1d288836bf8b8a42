#pragma once
// vuart's own words: one-line messages on standard error, its exit statuses,
// and the names it gives in them.

#include <string>
#include <string_view>

namespace vuart {

// vuart's exit statuses of its own, as env(1) and timeout(1) use them.
constexpr int status_own_failure = 125;
constexpr int status_cannot_execute = 126;
constexpr int status_not_found = 127;

// Prints "vuart: MESSAGE" on standard error.
void report(std::string_view message);
// Prints "vuart: WHAT: strerror(errno)" on standard error.
void report_errno(std::string_view what);

// A word as a shell would quote it, so that no byte of it can forge a line of vuart's.
std::string shell_quoted(std::string_view word);

// "SIGTERM", or "signal 40".
std::string signal_name(int signal);

}  // namespace vuart

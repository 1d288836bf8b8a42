#include "files/socket_peer.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "files/messages.h"

namespace vuart {

namespace {

constexpr std::string_view tcp_prefix = "tcp:";
constexpr std::string_view unix_prefix = "unix:";

// A listening TCP socket at "[HOST]:PORT"; the address it got, for the user.
UniqueFd listen_tcp(std::string_view where, std::string &address)
{
  const std::size_t colon = where.rfind(':');
  std::string host(colon == std::string_view::npos ? "" : where.substr(0, colon));
  const std::string_view port_text = colon == std::string_view::npos ? where : where.substr(colon + 1);
  unsigned port = 0;
  const auto [end, error] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
  if (port_text.empty() || error != std::errc() || end != port_text.data() + port_text.size() || port > 0xFFFF) {
    report("tcp:" + std::string(where) + " needs [HOST]:PORT, PORT from 0 to 65535");
    return {};
  }
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  const bool loopback = host.empty() || host == "127.0.0.1" || host == "localhost" || host == "::1";
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo *found = nullptr;
  if (const int failed =
          getaddrinfo(host.empty() ? "127.0.0.1" : host.c_str(), std::to_string(port).c_str(), &hints, &found);
      failed != 0) {
    report("look up " + host + ": " + gai_strerror(failed));
    return {};
  }
  UniqueFd listener(socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int reuse = 1;
  const bool listening = listener.valid() &&
                         setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) == 0 &&
                         bind(listener.get(), found->ai_addr, found->ai_addrlen) == 0 && listen(listener.get(), 1) == 0;
  freeaddrinfo(found);
  if (!listening) {
    report_errno("listen on tcp:" + std::string(where));
    return {};
  }
  sockaddr_storage bound{};
  socklen_t size = sizeof bound;
  std::array<char, NI_MAXHOST> name{};
  std::array<char, NI_MAXSERV> service{};
  if (getsockname(listener.get(), reinterpret_cast<sockaddr *>(&bound), &size) != 0 ||
      getnameinfo(reinterpret_cast<sockaddr *>(&bound), size, name.data(), name.size(), service.data(), service.size(),
                  NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    report_errno("getsockname");
    return {};
  }
  const std::string shown(name.data());
  address = "tcp:" + (shown.find(':') != std::string::npos ? "[" + shown + "]" : shown) + ":" + service.data();
  if (!loopback) {
    report(address + " is reachable beyond this machine, and the port has no authentication");
  }
  return listener;
}

// A listening Unix socket at PATH, which only vuart's user may connect to.
UniqueFd listen_unix(const std::string &path)
{
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    report("unix:" + path + " needs a path of 1 to " + std::to_string(sizeof address.sun_path - 1) + " bytes");
    return {};
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  // A socket nobody listens on is one an earlier run left when a signal ended its wait: it goes.
  struct stat existing {};
  if (lstat(path.c_str(), &existing) == 0 && S_ISSOCK(existing.st_mode)) {
    const UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (probe.valid() && connect(probe.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 &&
        errno == ECONNREFUSED) {
      unlink(path.c_str());
    }
  }
  UniqueFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const mode_t mask = umask(0177);
  const bool bound =
      listener.valid() && bind(listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  umask(mask);
  if (!bound || listen(listener.get(), 1) != 0) {
    report_errno("listen on unix:" + path);
    return {};
  }
  return listener;
}

}  // namespace

bool names_socket_peer(std::string_view spec)
{
  return spec.starts_with(tcp_prefix) || spec.starts_with(unix_prefix);
}

std::optional<SocketPeer> accept_socket_peer(const std::string &spec, const std::string &who)
{
  std::string address = spec;
  const bool tcp = spec.starts_with(tcp_prefix);
  const std::string unix_path = tcp ? "" : spec.substr(unix_prefix.size());
  UniqueFd listener =
      tcp ? listen_tcp(std::string_view(spec).substr(tcp_prefix.size()), address) : listen_unix(unix_path);
  if (!listener.valid()) {
    return std::nullopt;
  }
  report(who + " waits for a client on " + address);
  UniqueFd client;
  do {
    client = UniqueFd(accept4(listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
  } while (!client.valid() && errno == EINTR);
  if (!tcp) {
    unlink(unix_path.c_str());  // one client: nobody else may connect, and nothing is left behind
  }
  if (!client.valid()) {
    report_errno("accept on " + address);
    return std::nullopt;
  }
  return SocketPeer{std::move(client), address};
}

}  // namespace vuart

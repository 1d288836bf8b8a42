#pragma once
// A COM port's peer over a socket, as a virtual machine's serial port can be:
// "tcp:[HOST]:PORT" (loopback unless a host is given) or "unix:PATH" (mode
// 0600). vuart listens and waits for the first client before the program
// starts, so that no byte is lost; that one client is the port's peer.

#include <optional>
#include <string>
#include <string_view>

#include "files/unique_fd.h"

namespace vuart {

// Whether `spec` names a socket peer rather than a file.
bool names_socket_peer(std::string_view spec);

struct SocketPeer {
  UniqueFd connection;  // non-blocking
  std::string address;  // where vuart listened, as "tcp:127.0.0.1:5555" or "unix:PATH"
};

// Listens where `spec` says, tells on standard error where (`who` names the
// port), and returns the first client; nullopt, with the reason reported, when it cannot.
std::optional<SocketPeer> accept_socket_peer(const std::string &spec, const std::string &who);

}  // namespace vuart

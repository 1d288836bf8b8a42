#include "files/pty.h"

#include <fcntl.h>
#include <termios.h>

#include <cstdlib>

#include "files/messages.h"

namespace vuart {

Pty open_pty(PtyMode mode)
{
  Pty pty;
  pty.master = UniqueFd(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!pty.master.valid() || grantpt(pty.master.get()) != 0 || unlockpt(pty.master.get()) != 0) {
    report_errno("open a pseudo-terminal");
    return {};
  }
  pty.path = ptsname(pty.master.get());
  pty.slave = UniqueFd(open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  termios settings{};
  if (!pty.slave.valid() || tcgetattr(pty.slave.get(), &settings) != 0) {
    report_errno("open the pseudo-terminal " + pty.path);
    return {};
  }
  if (mode == PtyMode::raw) {
    cfmakeraw(&settings);
  } else {
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  }
  if (tcsetattr(pty.slave.get(), TCSANOW, &settings) != 0 || fcntl(pty.master.get(), F_SETFL, O_NONBLOCK) != 0) {
    report_errno("set up the pseudo-terminal " + pty.path);
    return {};
  }
  return pty;
}

}  // namespace vuart

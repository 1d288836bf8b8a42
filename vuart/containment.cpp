#include "containment.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace vuart {

bool open_standard_descriptors()
{
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // The lowest free number is this one: the lower ones are open by now.
      if (open("/dev/null", O_RDWR) != fd) {
        return false;
      }
    }
  }
  return true;
}

bool protect_self()
{
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> data{};
  if (syscall(SYS_capget, &header, data.data()) != 0) {
    return false;
  }
  for (const int capability : dropped_capabilities) {
    // Dropping from the bounding set needs CAP_SETPCAP. A caller without it holds
    // none of these in its other sets either (or loses them below), and
    // no_new_privs in the child keeps exec from granting them.
    if (prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0 && errno != EPERM && errno != EINVAL) {
      return false;
    }
    const std::uint32_t bit = 1U << (static_cast<unsigned>(capability) % 32);
    auto &word = data[static_cast<std::size_t>(capability) / 32];
    word.effective &= ~bit;
    word.permitted &= ~bit;
    word.inheritable &= ~bit;
  }
  if (syscall(SYS_capset, &header, data.data()) != 0) {
    return false;
  }
  for (const int capability : dropped_capabilities) {
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_LOWER, capability, 0, 0) != 0 && errno != EINVAL) {
      return false;
    }
  }
  return prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
}

}  // namespace vuart

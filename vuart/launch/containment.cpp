#include "launch/containment.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>

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

bool drop_capabilities(std::span<const int> capabilities)
{
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> data{};
  if (syscall(SYS_capget, &header, data.data()) != 0) {
    return false;
  }
  for (const int capability : capabilities) {
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
  return std::ranges::all_of(capabilities, [](int capability) {
    return prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_LOWER, capability, 0, 0) == 0 || errno == EINVAL;
  });
}

std::optional<pid_t> tracer_other_than_parent()
{
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("TracerPid:")) {
      const pid_t tracer = std::stoi(line.substr(line.find(':') + 1));
      return tracer != 0 && tracer != getppid() ? std::optional(tracer) : std::nullopt;
    }
  }
  return std::nullopt;
}

bool protect_self()
{
  return prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0 && drop_capabilities(dropped_capabilities) &&
         prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
}

std::vector<pid_t> children_of(pid_t parent)
{
  const std::string task = std::to_string(parent);
  std::ifstream listed("/proc/" + task + "/task/" + task + "/children");
  std::vector<pid_t> children;
  for (pid_t child; listed >> child;) {
    children.push_back(child);
  }
  return children;
}

void end_all(const std::vector<pid_t> &traced)
{
  for (const pid_t tid : traced) {
    kill(tid, SIGKILL);
  }
  for (const pid_t child : children_of(getpid())) {
    kill(child, SIGKILL);
  }
  for (;;) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, __WALL);
    if (pid < 0 && errno == EINTR) {
      continue;
    }
    if (pid < 0) {
      break;  // ECHILD: nothing left
    }
    if (WIFSTOPPED(status)) {
      kill(pid, SIGKILL);  // started meanwhile
    }
  }
}

}  // namespace vuart

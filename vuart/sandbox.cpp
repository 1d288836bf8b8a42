#include "sandbox.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <utility>

namespace vuart {

namespace {

// The host's devices that the program keeps; none of them reaches hardware.
constexpr std::array<const char *, 8> kept_devices = {"null",    "zero", "full", "random",
                                                      "urandom", "tty",  "ptmx", "pts"};
constexpr std::array<std::pair<const char *, const char *>, 4> dev_links = {{{"fd", "/proc/self/fd"},
                                                                             {"stdin", "/proc/self/fd/0"},
                                                                             {"stdout", "/proc/self/fd/1"},
                                                                             {"stderr", "/proc/self/fd/2"}}};
// Where root could change the kernel's settings (core_pattern, modprobe) or act on the machine.
constexpr std::array<const char *, 4> read_only_proc = {"/proc/sys", "/proc/sysrq-trigger", "/proc/irq", "/proc/bus"};

constexpr unsigned long no_exec = MS_NOSUID | MS_NODEV | MS_NOEXEC;

bool bind_read_only(const char *path)
{
  return mount(path, path, nullptr, MS_BIND | MS_REC, nullptr) == 0 &&
         mount(nullptr, path, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY | no_exec, nullptr) == 0;
}

// A tmpfs on /dev with the kept devices bound into it (each cloned from the
// host's /dev before it is covered), a /dev/shm of its own and the usual links.
bool set_up_dev()
{
  const int host_dev = open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (host_dev < 0) {
    return false;
  }
  std::array<int, kept_devices.size()> devices{};
  for (std::size_t i = 0; i < kept_devices.size(); ++i) {
    devices.at(i) = open_tree(host_dev, kept_devices.at(i), OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC);
    if (devices.at(i) < 0 && errno != ENOENT) {
      return false;  // one the host lacks, the program lacks too
    }
  }
  if (mount("tmpfs", "/dev", "tmpfs", no_exec, "mode=0755") != 0) {
    return false;
  }
  const int dev = open("/dev", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dev < 0) {
    return false;
  }
  for (std::size_t i = 0; i < kept_devices.size(); ++i) {
    const char *name = kept_devices.at(i);
    const bool directory = name == std::string_view("pts");
    if (devices.at(i) >= 0 && ((directory ? mkdirat(dev, name, 0755) : mknodat(dev, name, S_IFREG | 0644, 0)) != 0 ||
                               move_mount(devices.at(i), "", dev, name, MOVE_MOUNT_F_EMPTY_PATH) != 0)) {
      return false;
    }
  }
  for (const auto &[name, target] : dev_links) {
    if (symlinkat(target, dev, name) != 0) {
      return false;
    }
  }
  return mkdirat(dev, "shm", 01777) == 0 && mount("tmpfs", "/dev/shm", "tmpfs", no_exec, "mode=1777") == 0 &&
         mount(nullptr, "/dev", nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY | no_exec, nullptr) == 0;
}

// A sysfs of its own, without the host's mounts below /sys (cgroups, debugfs).
// The kernel refuses sysfs right on top of itself, so a tmpfs goes between;
// and its superblock is the host's, so only the mount is read-only.
bool mount_sysfs_read_only()
{
  return mount("tmpfs", "/sys", "tmpfs", MS_RDONLY | no_exec, nullptr) == 0 &&
         mount("sysfs", "/sys", "sysfs", no_exec, nullptr) == 0 &&
         mount(nullptr, "/sys", nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY | no_exec, nullptr) == 0;
}

}  // namespace

bool set_up_private_mounts()
{
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 || !set_up_dev() ||
      mount("proc", "/proc", "proc", no_exec, nullptr) != 0 || !mount_sysfs_read_only()) {
    return false;
  }
  return std::ranges::all_of(read_only_proc, [](const char *path) { return bind_read_only(path) || errno == ENOENT; });
}

void reap_as_init()
{
  for (;;) {
    if (waitpid(-1, nullptr, __WALL) < 0 && errno == ECHILD) {
      _exit(0);
    }
  }
}

}  // namespace vuart

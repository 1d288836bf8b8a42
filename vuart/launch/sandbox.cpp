#include "launch/sandbox.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <optional>
#include <string_view>
#include <utility>

namespace vuart {

namespace {

// The host's devices that the program keeps; none of them reaches hardware.
constexpr std::array<const char *, 7> kept_devices = {"null", "zero", "full", "random", "urandom", "tty", "pts"};
// /dev/ptmx by way of the pts instance the program sees, so that a terminal it
// opens is found there (the host's device node may lead to another instance).
constexpr std::array<std::pair<const char *, const char *>, 5> dev_links = {{{"fd", "/proc/self/fd"},
                                                                             {"stdin", "/proc/self/fd/0"},
                                                                             {"stdout", "/proc/self/fd/1"},
                                                                             {"stderr", "/proc/self/fd/2"},
                                                                             {"ptmx", "pts/ptmx"}}};
// Where root could change the kernel's settings (core_pattern, modprobe) or act on the machine.
constexpr std::array<const char *, 4> read_only_proc = {"/proc/sys", "/proc/sysrq-trigger", "/proc/irq", "/proc/bus"};

constexpr unsigned long no_exec = MS_NOSUID | MS_NODEV | MS_NOEXEC;

// Trees the kernel and the host's services run programs from or read settings
// from; with the root itself (and so /bin, /sbin and /lib) they stay read-only.
constexpr std::array<const char *, 4> system_trees = {"/usr", "/boot", "/efi", "/etc"};
constexpr std::array<const char *, 3> replaced_trees = {"/dev", "/proc", "/sys"};
// Helpers the kernel names itself; the others it reads from its settings.
constexpr std::array<const char *, 2> fixed_helpers = {"/sbin/request-key", "/sbin/reboot"};
constexpr std::array<const char *, 4> helper_settings = {"/proc/sys/kernel/modprobe", "/proc/sys/kernel/hotplug",
                                                         "/proc/sys/kernel/poweroff_cmd",
                                                         "/proc/sys/kernel/core_pattern"};
constexpr std::size_t most_writable = 64;  // places put back writable: the defaults, the directory, --writable
constexpr int most_links = 40;             // as the kernel follows, on the way to a helper

bool within(std::string_view path, std::string_view tree)
{
  return path == tree || (path.starts_with(tree) && (tree == "/" || path[tree.size()] == '/'));
}

std::optional<std::string> real_path(const std::string &path)
{
  std::array<char, PATH_MAX> resolved{};
  return realpath(path.c_str(), resolved.data()) != nullptr ? std::optional<std::string>(resolved.data())
                                                            : std::nullopt;
}

// The program a setting names, without its arguments: core_pattern names one
// only after a "|"; the others are a path or empty.
std::optional<std::string> helper_named_by(std::string_view setting)
{
  std::ifstream file{std::string(setting)};
  std::string value;
  if (!std::getline(file, value)) {
    return std::nullopt;
  }
  if (setting.ends_with("core_pattern")) {
    if (!value.starts_with('|')) {
      return std::nullopt;  // a file the core goes to, not a program
    }
    value.erase(0, value.find_first_not_of(" \t", 1));
  }
  value = value.substr(0, value.find_first_of(" \t"));
  return value.starts_with('/') ? std::optional(value) : std::nullopt;
}

// `path` and every directory on the way to it, as the kernel walks it
// (following links, each link's directory included), top down. A missing part
// ends the walk: the directory it would be made in is in the route.
void add_route(std::string_view path, std::vector<std::string> &route)
{
  std::vector<std::string> left;  // components still to walk, the next one last
  const auto push_path = [&left](std::string_view more) {
    std::vector<std::string> parts;
    for (std::size_t at = 0; at < more.size();) {
      const std::size_t end = std::min(more.find('/', at), more.size());
      if (end > at) {
        parts.emplace_back(more.substr(at, end - at));
      }
      at = end + 1;
    }
    left.insert(left.end(), parts.rbegin(), parts.rend());
  };
  push_path(path);
  std::string at = "/";  // read-only whatever --writable says
  for (int links = 0; !left.empty();) {
    const std::string name = left.back();
    left.pop_back();
    if (name == ".") {
      continue;
    }
    if (name == "..") {
      at = at.substr(0, std::max<std::size_t>(at.rfind('/'), 1));
      continue;
    }
    std::string next = at == "/" ? "" : at;
    next += '/';
    next += name;
    struct stat file {};
    if (lstat(next.c_str(), &file) != 0) {
      return;
    }
    if (S_ISLNK(file.st_mode)) {
      std::array<char, PATH_MAX> target{};
      const ssize_t length = readlink(next.c_str(), target.data(), target.size() - 1);
      if (length <= 0 || ++links > most_links) {
        return;
      }
      const std::string_view to(target.data(), static_cast<std::size_t>(length));
      if (to.starts_with('/')) {
        at = "/";
      }
      push_path(to);
      continue;
    }
    route.push_back(next);
    at = next;
  }
}

bool make_read_only(const char *path, unsigned int flags)
{
  mount_attr read_only{};
  read_only.attr_set = MOUNT_ATTR_RDONLY;
  return syscall(SYS_mount_setattr, AT_FDCWD, path, flags, &read_only, sizeof read_only) == 0;
}

// Puts `path` out of the program's reach where it is not already: a
// read-only mount of itself, which can be neither written, renamed nor removed.
bool keep_from_change(const char *path)
{
  struct statfs where {};
  if (statfs(path, &where) != 0) {
    return errno == ENOENT;
  }
  return (where.f_flags & ST_RDONLY) != 0 ||
         (mount(path, path, nullptr, MS_BIND | MS_REC, nullptr) == 0 && make_read_only(path, 0));
}

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

std::variant<MountPlan, std::string> plan_mounts(std::span<const std::string> lifted)
{
  MountPlan plan;
  std::array<char, PATH_MAX> directory{};
  if (getcwd(directory.data(), directory.size()) == nullptr) {
    return std::string("the working directory has no path (") + std::strerror(errno) + ")";
  }
  plan.working_directory = directory.data();
  const auto replaced = [](std::string_view path) {
    return std::ranges::any_of(replaced_trees, [&](const char *tree) { return within(path, tree); });
  };
  for (const std::string &path : lifted) {
    const auto resolved = real_path(path);
    if (!resolved) {
      return "--writable " + path + ": " + std::strerror(errno);
    }
    if (*resolved == "/" || replaced(*resolved)) {
      return "--writable " + path + ": " +
             (*resolved == "/" ? "the root holds the system trees; name what to write"
                               : "vuart gives a root program /dev, /proc and /sys of "
                                 "its own");
    }
    plan.writable.push_back(*resolved);
  }
  for (const char *path : writable_by_default) {
    if (const auto resolved = real_path(path)) {
      plan.writable.push_back(*resolved);
    }
  }
  // The working directory, unless it is a system tree's, holds one, or is replaced.
  const std::string &here = plan.working_directory;
  if (here != "/" && !replaced(here) &&
      std::ranges::none_of(system_trees, [&](const char *tree) { return within(here, tree) || within(tree, here); })) {
    plan.writable.push_back(here);
  }
  std::ranges::sort(plan.writable);
  std::erase_if(plan.writable, [&plan](const std::string &path) {
    return std::ranges::any_of(plan.writable,
                               [&](const std::string &other) { return other != path && within(path, other); });
  });
  plan.writable.erase(std::unique(plan.writable.begin(), plan.writable.end()), plan.writable.end());
  if (plan.writable.size() > most_writable) {
    return "more than " + std::to_string(most_writable) + " writable places";
  }
  for (const char *helper : fixed_helpers) {
    add_route(helper, plan.helper_route);
  }
  for (const char *setting : helper_settings) {
    if (const auto helper = helper_named_by(setting)) {
      add_route(*helper, plan.helper_route);
    }
  }
  return plan;
}

bool set_up_private_mounts(const MountPlan &plan)
{
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return false;
  }
  // The writable places are copied as they are (with their own read-only
  // mounts), the whole tree made read-only, and the copies put back on top.
  std::array<int, most_writable> copies{};
  for (std::size_t i = 0; i < plan.writable.size() && i < copies.size(); ++i) {
    copies.at(i) = open_tree(AT_FDCWD, plan.writable[i].c_str(), OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_RECURSIVE);
    if (copies.at(i) < 0) {
      return false;
    }
  }
  if (!make_read_only("/", AT_RECURSIVE)) {
    return false;
  }
  for (std::size_t i = 0; i < plan.writable.size() && i < copies.size(); ++i) {
    if (move_mount(copies.at(i), "", AT_FDCWD, plan.writable[i].c_str(), MOVE_MOUNT_F_EMPTY_PATH) != 0) {
      return false;
    }
    close(copies.at(i));
  }
  if (!set_up_dev() || mount("proc", "/proc", "proc", no_exec, nullptr) != 0 || !mount_sysfs_read_only() ||
      !std::ranges::all_of(read_only_proc, [](const char *path) { return bind_read_only(path) || errno == ENOENT; })) {
    return false;
  }
  return std::ranges::all_of(plan.helper_route, [](const std::string &path) { return keep_from_change(path.c_str()); });
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

#pragma once
// A program run as root gets mount and PID namespaces of its own: a /dev with
// only harmless devices, /proc/sys and /sys read-only, the host's system trees
// read-only, and an init of vuart's as PID 1, whose end ends everything the
// program started. It keeps uid 0, write access where a user expects it, the
// network, its working directory and environment.

#include <linux/capability.h>

#include <array>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace vuart {

// What root loses besides what vuart drops for itself: what could undo the
// mounts (CAP_SYS_ADMIN), make a device node, or open a file by handle past
// them, and whatever reaches the kernel or the hardware another way: the
// clock and its alarms, the kernel's log, BPF and performance counters,
// immutable files, security modules, the audit system, network interfaces
// (and their firmware), virtual consoles and suspend.
constexpr std::array<int, 17> contained_root_drops = {
    CAP_SYS_ADMIN,   CAP_MKNOD,      CAP_DAC_READ_SEARCH, CAP_SYS_TIME,       CAP_WAKE_ALARM,   CAP_SYSLOG,
    CAP_BPF,         CAP_PERFMON,    CAP_LINUX_IMMUTABLE, CAP_MAC_ADMIN,      CAP_MAC_OVERRIDE, CAP_AUDIT_CONTROL,
    CAP_AUDIT_WRITE, CAP_AUDIT_READ, CAP_NET_ADMIN,       CAP_SYS_TTY_CONFIG, CAP_BLOCK_SUSPEND};

// Where the program keeps write access by default (where these exist).
constexpr std::array<const char *, 7> writable_by_default = {"/tmp", "/var", "/home",    "/root",
                                                             "/srv", "/opt", "/run/lock"};

// The mounts of a contained run, worked out by vuart before the namespaces are
// made, so that the child that makes them only makes system calls.
struct MountPlan {
  std::vector<std::string> writable;      // put back writable over the read-only tree; none inside another
  std::vector<std::string> helper_route;  // the files the kernel's helpers name and every directory on the way
  std::string working_directory;          // resolved again in the new tree
};

// The plan for a run from the current directory, with `lifted` (--writable)
// writable too; or why there can be none.
std::variant<MountPlan, std::string> plan_mounts(std::span<const std::string> lifted);

// In a new mount namespace: makes every mount private, makes the whole tree
// read-only but the plan's writable places, puts the program's /dev, /proc
// and /sys in place and the kernel's helpers out of reach. Only
// async-signal-safe calls. Returns false on failure (errno set).
bool set_up_private_mounts(const MountPlan &plan);

// PID 1 of the namespace: reaps whatever ends there, until nothing is left.
[[noreturn]] void reap_as_init();

}  // namespace vuart

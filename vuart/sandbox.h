#pragma once
// A program run as root gets mount and PID namespaces of its own: a /dev with
// only harmless devices, /proc/sys and /sys read-only, and an init of vuart's
// as PID 1, whose end ends everything the program started. It keeps uid 0, its
// files, network, working directory and environment.

#include <array>
#include <linux/capability.h>

namespace vuart {

// What root loses besides: mounting (which could undo the above), making
// device nodes, and opening files by handle past the mounts.
constexpr std::array<int, 3> contained_root_drops = {CAP_SYS_ADMIN, CAP_MKNOD, CAP_DAC_READ_SEARCH};

// In a new mount namespace: makes every mount private, then puts the program's
// /dev, /proc and /sys in place. Only async-signal-safe calls. Returns false on
// failure (errno set).
bool set_up_private_mounts();

// PID 1 of the namespace: reaps whatever ends there, until nothing is left.
[[noreturn]] void reap_as_init();

}  // namespace vuart

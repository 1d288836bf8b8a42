#pragma once
// What vuart does to itself before it runs anything, so that the program it runs
// can neither take it over nor outlive it.

#include <linux/capability.h>

#include <sys/types.h>

#include <array>
#include <optional>
#include <span>
#include <vector>

namespace vuart {

// Capabilities that reach hardware or other processes: raw I/O (ports, /dev/mem),
// ptrace (vuart itself), kernel modules and kexec. vuart holds none of them, so
// neither does the program, and no_new_privs keeps the program from regaining them.
constexpr std::array<int, 4> dropped_capabilities = {CAP_SYS_RAWIO, CAP_SYS_PTRACE, CAP_SYS_MODULE, CAP_SYS_BOOT};

// Opens /dev/null on any of file descriptors 0-2 that are closed, so that none of
// vuart's own files takes their place. Returns false on failure (errno set).
bool open_standard_descriptors();

// Makes vuart non-dumpable, so that no process without CAP_SYS_PTRACE can
// attach to it or read its memory; drops dropped_capabilities from its
// bounding, permitted, effective, inheritable and ambient sets; and makes it a
// child subreaper, so that whatever the program leaves behind is re-parented
// to it. Returns false on failure (errno set).
bool protect_self();

// Drops the capabilities from this process's sets, as protect_self does.
// Only async-signal-safe calls. Returns false on failure (errno set).
bool drop_capabilities(std::span<const int> capabilities);

// A process that attached to vuart in the moment after its exec, before
// protect_self: anyone but the parent (a debugger that started vuart).
std::optional<pid_t> tracer_other_than_parent();

// The processes whose parent is `parent`, as /proc lists them.
std::vector<pid_t> children_of(pid_t parent);

// Once the program has ended: kills the threads vuart traces and whatever the
// program left re-parented to vuart, and waits for every one of them.
void end_all(const std::vector<pid_t> &traced);

}  // namespace vuart

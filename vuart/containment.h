#pragma once
// What vuart does to itself before it runs anything, so that the program it runs
// can neither take it over nor outlive it, and what it puts back for the program.

#include <linux/capability.h>

#include <array>
#include <csignal>

#include <sys/types.h>

namespace vuart {

// Capabilities that reach hardware or other processes: raw I/O (ports, /dev/mem),
// ptrace (vuart itself), kernel modules and kexec. vuart holds none of them, so
// neither does the program, and no_new_privs keeps the program from regaining them.
constexpr std::array<int, 4> dropped_capabilities = {CAP_SYS_RAWIO, CAP_SYS_PTRACE, CAP_SYS_MODULE, CAP_SYS_BOOT};

// Opens /dev/null on any of file descriptors 0-2 that are closed, so that none of
// vuart's own files takes their place. Returns false on failure (errno set).
bool open_standard_descriptors();

// Drops dropped_capabilities from vuart's bounding, permitted, effective,
// inheritable and ambient sets, and makes vuart a child subreaper, so that
// whatever the program leaves behind is re-parented to it. (vuart becomes
// non-dumpable once it has seized the program, before the program runs.)
// Returns false on failure (errno set).
bool protect_self();

// Signals vuart passes on to the program, besides SIGCHLD, which it waits for.
constexpr std::array<int, 6> forwarded_signals = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2};

// The caller's signal mask and the dispositions vuart changes for itself.
struct CallerSignals {
  sigset_t mask;
  struct sigaction child;  // SIGCHLD
  struct sigaction pipe;   // SIGPIPE
  std::array<struct sigaction, forwarded_signals.size()> forwarded;
};

// Saves the caller's signal state, then sets vuart's own: SIGCHLD at its default
// (an ignored SIGCHLD would hide the program's stops), SIGPIPE ignored (a closed
// output is an error vuart reports), and a handler for forwarded_signals that
// passes each on to forward_signals_to() at once, from the handler itself, so
// that none waits for vuart's next ptrace event. What a terminal sends to its
// foreground process group is not passed on when the program is in vuart's
// group: it has the signal already.
CallerSignals take_over_signals();

// The program that forwarded signals go to, once it runs.
void forward_signals_to(pid_t program);

// In the child before exec: the caller's mask and dispositions again. Async-signal-safe.
void restore_signals(const CallerSignals &caller);

}  // namespace vuart

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

namespace {

volatile sig_atomic_t forward_to = 0;

void forward(int signal, siginfo_t *info, void * /*context*/)
{
  const int saved_errno = errno;
  const pid_t program = forward_to;
  if (program <= 0) {
    // Nothing runs yet to pass it on to: it ends vuart, as it would have without the handler.
    ::signal(signal, SIG_DFL);
    raise(signal);
  } else if (!(info->si_code == SI_KERNEL && getpgid(program) == getpgrp())) {
    kill(program, signal);
  }
  errno = saved_errno;
}

}  // namespace

CallerSignals take_over_signals()
{
  CallerSignals caller{};
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_DFL;
  sigaction(SIGCHLD, &action, &caller.child);
  action.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &action, &caller.pipe);
  action.sa_sigaction = forward;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  for (std::size_t i = 0; i < forwarded_signals.size(); ++i) {
    sigaction(forwarded_signals[i], &action, &caller.forwarded[i]);
  }
  sigprocmask(SIG_SETMASK, nullptr, &caller.mask);
  return caller;
}

void forward_signals_to(pid_t program)
{
  forward_to = program;
}

void restore_signals(const CallerSignals &caller)
{
  sigaction(SIGCHLD, &caller.child, nullptr);
  sigaction(SIGPIPE, &caller.pipe, nullptr);
  for (std::size_t i = 0; i < forwarded_signals.size(); ++i) {
    sigaction(forwarded_signals[i], &caller.forwarded[i], nullptr);
  }
  sigprocmask(SIG_SETMASK, &caller.mask, nullptr);
}

}  // namespace vuart

#include "launch.h"

#include <linux/audit.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>

#include "output.h"

namespace vuart {

namespace {

constexpr sock_filter statement(std::uint16_t code, std::uint32_t k)
{
  return {code, 0, 0, k};
}

constexpr sock_filter jump_if_equal(std::uint32_t value, std::uint8_t skip_if_true)
{
  return {BPF_JMP | BPF_JEQ | BPF_K, skip_if_true, 0, value};
}

// Stops the port-access requests and every write to fds 1 and 2 for the tracer;
// everything else runs untouched. Calls of other ABIs go to the kernel, which
// refuses port access for want of CAP_SYS_RAWIO.
constexpr std::array<sock_filter, 17> seccomp_filter = {
    statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
    jump_if_equal(AUDIT_ARCH_X86_64, 1),
    statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    jump_if_equal(SYS_ioperm, 11),  // to trace
    jump_if_equal(SYS_iopl, 10),    // to trace
    jump_if_equal(SYS_write, 5),    // to the fd check
    jump_if_equal(SYS_writev, 4),
    jump_if_equal(SYS_pwrite64, 3),
    jump_if_equal(SYS_pwritev, 2),
    jump_if_equal(SYS_pwritev2, 1),
    statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),  // low half of the fd
    jump_if_equal(STDOUT_FILENO, 2),
    jump_if_equal(STDERR_FILENO, 1),
    statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    statement(BPF_RET | BPF_K, SECCOMP_RET_TRACE),
};

// Removes CAP_SYS_RAWIO from the bounding, permitted, effective, inheritable and
// ambient sets. Dropping from the bounding set needs CAP_SETPCAP; a caller
// without it cannot hold CAP_SYS_RAWIO either, and no_new_privs keeps it from
// gaining it at exec.
bool drop_raw_io()
{
  if (prctl(PR_CAPBSET_DROP, CAP_SYS_RAWIO, 0, 0, 0) != 0 && errno != EPERM) {
    return false;
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> data{};
  if (syscall(SYS_capget, &header, data.data()) != 0) {
    return false;
  }
  const std::uint32_t bit = 1U << (CAP_SYS_RAWIO % 32);
  auto &word = data[CAP_SYS_RAWIO / 32];
  word.effective &= ~bit;
  word.permitted &= ~bit;
  word.inheritable &= ~bit;
  if (syscall(SYS_capset, &header, data.data()) != 0) {
    return false;
  }
  if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
    return false;
  }
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
}

[[noreturn]] void fail(int pipe, LaunchFailure::Stage stage, int status)
{
  const LaunchFailure failure{stage, errno};
  [[maybe_unused]] const auto written = write(pipe, &failure, sizeof failure);
  _exit(status);
}

}  // namespace

pid_t launch(const std::vector<std::string> &command, int stdout_fd, UniqueFd failure_pipe)
{
  std::vector<char *> argv;
  argv.reserve(command.size() + 1);
  for (const std::string &argument : command) {
    argv.push_back(const_cast<char *>(argument.c_str()));
  }
  argv.push_back(nullptr);
  const pid_t parent = getpid();

  const pid_t child = fork();
  if (child != 0) {
    return child;
  }
  // The child: only async-signal-safe calls from here to exec.
  const int pipe = failure_pipe.get();
  if (prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0 || getppid() != parent) {
    _exit(status_own_failure);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (stdout_fd >= 0 && dup2(stdout_fd, STDOUT_FILENO) < 0) {
    fail(pipe, LaunchFailure::setup, status_own_failure);
  }
  if (!drop_raw_io() || ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0 || raise(SIGSTOP) != 0) {
    fail(pipe, LaunchFailure::setup, status_own_failure);
  }
  const sock_fprog program{static_cast<unsigned short>(seccomp_filter.size()),
                           const_cast<sock_filter *>(seccomp_filter.data())};
  if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) != 0) {
    fail(pipe, LaunchFailure::setup, status_own_failure);
  }
  execvp(argv[0], argv.data());
  fail(pipe, LaunchFailure::exec, errno == ENOENT ? status_not_found : status_cannot_execute);
}

}  // namespace vuart

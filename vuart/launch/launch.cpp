#include "launch/launch.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <optional>
#include <string>

#include "files/messages.h"
#include "launch/containment.h"
#include "launch/sandbox.h"
#include "launch/seccomp_filter.h"

namespace vuart {

namespace {

[[noreturn]] void fail(int pipe, LaunchFailure::Stage stage, int status)
{
  const LaunchFailure failure{stage, errno};
  [[maybe_unused]] const auto written = write(pipe, &failure, sizeof failure);
  _exit(status);
}

// What the children of a launch need: only async-signal-safe calls from the fork to exec.
struct ChildSetUp {
  const LaunchRequest &request;
  std::vector<char *> argv;
  sock_fprog filter;
  int ready;    // written once the program's child may be seized, or with why it cannot be
  int go;       // one byte once it is seized; end of file when vuart is gone
  int failure;  // why exec, or what comes before it, failed
};

// The program's child: tells vuart it may be seized, waits until it is, and
// execs the program under the seccomp filter.
[[noreturn]] void run_program_child(const ChildSetUp &set_up)
{
  // vuart is non-dumpable, and so is its copy here: seizing needs the child dumpable.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0 || prctl(PR_SET_DUMPABLE, 1, 0, 0, 0) != 0) {
    fail(set_up.ready, LaunchFailure::setup, status_own_failure);
  }
  const LaunchFailure ready{LaunchFailure::ready, 0};
  if (write(set_up.ready, &ready, sizeof ready) != sizeof ready) {
    _exit(status_own_failure);
  }
  restore_signals(set_up.request.caller_signals);
  if (set_up.request.stdout_fd >= 0 && dup2(set_up.request.stdout_fd, STDOUT_FILENO) < 0) {
    fail(set_up.failure, LaunchFailure::setup, status_own_failure);
  }
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    fail(set_up.failure, LaunchFailure::setup, status_own_failure);
  }
  char seized = 0;
  ssize_t got;
  while ((got = read(set_up.go, &seized, 1)) < 0 && errno == EINTR) {
  }
  if (got != 1) {
    _exit(status_own_failure);  // vuart is gone: the program never runs untraced
  }
  // SPEC_ALLOW: the program keeps the speculation mitigations it would have
  // without vuart, rather than the store-bypass one a filter turns on by default.
  if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_SPEC_ALLOW, &set_up.filter) != 0) {
    fail(set_up.failure, LaunchFailure::setup, status_own_failure);
  }
  execvp(set_up.argv[0], set_up.argv.data());
  fail(set_up.failure, LaunchFailure::exec, errno == ENOENT ? status_not_found : status_cannot_execute);
}

// PID 1 of the program's namespaces: puts its mounts in place, drops what root
// could undo them with, starts the program's child and reaps until the end.
[[noreturn]] void run_init(const ChildSetUp &set_up)
{
  sigset_t all;
  sigfillset(&all);
  if (prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0 || sigprocmask(SIG_SETMASK, &all, nullptr) != 0 ||
      !set_up_private_mounts(*set_up.request.contain) || !drop_capabilities(contained_root_drops)) {
    fail(set_up.ready, LaunchFailure::contain, status_own_failure);
  }
  // The directory by its path in the new tree: the old one may be the host's /dev.
  if (chdir(set_up.request.contain->working_directory.c_str()) != 0) {
    fail(set_up.ready, LaunchFailure::working_directory, status_own_failure);
  }
  const pid_t child = fork();
  if (child == 0) {
    run_program_child(set_up);
  }
  if (child < 0) {
    fail(set_up.ready, LaunchFailure::contain, status_own_failure);
  }
  close_range(0, ~0U, 0);  // nothing of vuart's stays open here
  reap_as_init();
}

// The one child of the namespaces' init: the program's child.
std::optional<pid_t> only_child(pid_t parent)
{
  const std::vector<pid_t> children = children_of(parent);
  return children.empty() ? std::nullopt : std::optional(children.front());
}

void end_child(pid_t child)
{
  kill(child, SIGKILL);
  waitpid(child, nullptr, __WALL);
}

}  // namespace

pid_t launch(const LaunchRequest &request, UniqueFd failure_pipe)
{
  const std::vector<sock_filter> filter = build_filter(request.trap_writes);
  std::vector<char *> argv;
  argv.reserve(request.command.size() + 1);
  for (const std::string &argument : request.command) {
    argv.push_back(const_cast<char *>(argument.c_str()));
  }
  argv.push_back(nullptr);
  std::array<int, 2> go{};
  std::array<int, 2> ready{};
  if (filter.empty() || pipe2(go.data(), O_CLOEXEC) != 0) {
    report_errno("start the program: pipe2");
    return -1;
  }
  UniqueFd go_reader(go[0]);
  UniqueFd go_writer(go[1]);
  if (pipe2(ready.data(), O_CLOEXEC) != 0) {
    report_errno("start the program: pipe2");
    return -1;
  }
  UniqueFd ready_reader(ready[0]);
  UniqueFd ready_writer(ready[1]);
  const ChildSetUp set_up{request,
                          argv,
                          {static_cast<unsigned short>(filter.size()), const_cast<sock_filter *>(filter.data())},
                          ready_writer.get(),
                          go_reader.get(),
                          failure_pipe.get()};

  // Contained, the child is the namespaces' init; killing it ends everything in them.
  const bool contain = request.contain != nullptr;
  const pid_t child = contain ? static_cast<pid_t>(syscall(SYS_clone, CLONE_NEWPID | CLONE_NEWNS | SIGCHLD, nullptr,
                                                           nullptr, nullptr, nullptr))
                              : fork();
  if (child == 0) {
    go_writer.reset();
    if (contain) {
      run_init(set_up);
    }
    run_program_child(set_up);
  }
  if (child < 0) {
    report_errno(contain ? "run the program in namespaces of its own, as it runs as root (clone); "
                           "--uncontained runs it without them"
                         : "start the program: fork");
    return -1;
  }
  ready_writer.reset();
  LaunchFailure readiness{};
  ssize_t got;
  while ((got = read(ready_reader.get(), &readiness, sizeof readiness)) < 0 && errno == EINTR) {
  }
  const std::optional<pid_t> program =
      got == sizeof readiness && readiness.stage == LaunchFailure::ready && contain ? only_child(child)
      : got == sizeof readiness && readiness.stage == LaunchFailure::ready          ? std::optional(child)
                                                                                    : std::nullopt;
  if (!program) {
    end_child(child);
    errno = got == sizeof readiness ? readiness.error : ECHILD;
    report_errno(readiness.stage == LaunchFailure::contain ? "contain the program in namespaces of its own"
                 : readiness.stage == LaunchFailure::working_directory && contain
                     ? "find the working directory " + shell_quoted(request.contain->working_directory) +
                           " in the program's own tree (a root program gets /dev, /proc and /sys of its own)"
                     : "start the program");
    return -1;
  }
  if (ptrace(PTRACE_SEIZE, *program, nullptr, request.ptrace_options) != 0) {
    report_errno("start the program: PTRACE_SEIZE");
    end_child(child);
    return -1;
  }
  const char seized = 1;
  if (write(go_writer.get(), &seized, 1) != 1) {
    report_errno("start the program: write");
    end_child(child);
    return -1;
  }
  return *program;
}

}  // namespace vuart

#include "launch.h"

#include <fcntl.h>
#include <linux/audit.h>
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
#include <fstream>
#include <map>
#include <optional>
#include <string>

#include "containment.h"
#include "output.h"
#include "output_calls.h"
#include "sandbox.h"

namespace vuart {

namespace {

// A classic BPF program written with named jump targets; offsets are resolved
// once the layout is known. Jumps go forward only, as BPF requires.
class FilterBuilder {
 public:
  enum class Label {
    x86_64,
    i386,
    check_signal,
    check_queued_signal,
    check_thread_queued_signal,
    check_clone,
    trace,
    refuse_eperm,
    refuse_enosys
  };

  void load(std::uint32_t offset) { code_.push_back({BPF_LD | BPF_W | BPF_ABS, 0, 0, offset}); }
  void jump_if_equal(std::uint32_t value, Label target) { jump(BPF_JEQ, value, target); }
  void jump_if_any_set(std::uint32_t bits, Label target) { jump(BPF_JSET, bits, target); }
  void give(std::uint32_t action) { code_.push_back({BPF_RET | BPF_K, 0, 0, action}); }
  void place(Label label) { placed_[label] = code_.size(); }

  [[nodiscard]] std::vector<sock_filter> finish() const
  {
    std::vector<sock_filter> code = code_;
    for (const auto &[at, target] : jumps_) {
      const std::size_t offset = placed_.at(target) - (at + 1);
      code[at].jt = static_cast<std::uint8_t>(offset);
      if (offset > 0xFF) {
        return {};  // too far for a BPF jump: the filter cannot be installed
      }
    }
    return code;
  }

 private:
  void jump(std::uint16_t condition, std::uint32_t value, Label target)
  {
    jumps_.emplace_back(code_.size(), target);
    code_.push_back({static_cast<std::uint16_t>(BPF_JMP | condition | BPF_K), 0, 0, value});
  }

  std::vector<sock_filter> code_;
  std::vector<std::pair<std::size_t, Label>> jumps_;
  std::map<Label, std::size_t> placed_;
};

constexpr std::uint32_t i386_clone = 120, i386_clone3 = 435;

// Stops an ABI's output calls, whatever the descriptor: which file it writes decides.
void add_output_calls(FilterBuilder &filter, bool i386, bool trap_writes)
{
  for (const OutputCall &call : output_calls) {
    if (trap_writes && call.i386 == i386) {
      filter.jump_if_equal(static_cast<std::uint32_t>(call.number), FilterBuilder::Label::trace);
    }
  }
}

// Stops for vuart the port-access requests (of the x86-64, x32 and i386 ABIs), every output call (when the trace
// records them), changes of SIGSEGV's disposition in either ABI (a port fault may change it and vuart
// must put it back), and a SIGSEGV the program queues (which may look like a port fault). Refuses, in every ABI, clone
// with CLONE_UNTRACED, which would escape tracing, and answers clone3, whose flags a filter cannot see, with ENOSYS,
// so that libc falls back to clone. Everything else runs untouched.
std::vector<sock_filter> build_filter(bool trap_writes)
{
  using Label = FilterBuilder::Label;
  FilterBuilder filter;
  filter.load(offsetof(seccomp_data, arch));
  filter.jump_if_equal(AUDIT_ARCH_X86_64, Label::x86_64);
  filter.jump_if_equal(AUDIT_ARCH_I386, Label::i386);
  filter.give(SECCOMP_RET_ALLOW);

  filter.place(Label::i386);
  filter.load(offsetof(seccomp_data, nr));
  filter.jump_if_equal(i386_ioperm, Label::trace);
  filter.jump_if_equal(i386_iopl, Label::trace);
  for (const long sets_action : {i386_signal, i386_sigaction, i386_rt_sigaction}) {
    filter.jump_if_equal(static_cast<std::uint32_t>(sets_action), Label::check_signal);
  }
  filter.jump_if_equal(i386_clone, Label::check_clone);
  filter.jump_if_equal(i386_clone3, Label::refuse_enosys);
  add_output_calls(filter, true, trap_writes);
  filter.give(SECCOMP_RET_ALLOW);

  filter.place(Label::x86_64);
  filter.load(offsetof(seccomp_data, nr));
  for (const long port_request : {long{SYS_ioperm}, long{SYS_iopl}, x32_call | SYS_ioperm, x32_call | SYS_iopl}) {
    filter.jump_if_equal(static_cast<std::uint32_t>(port_request), Label::trace);
  }
  add_output_calls(filter, false, trap_writes);
  filter.jump_if_equal(SYS_rt_sigaction, Label::check_signal);
  filter.jump_if_equal(SYS_rt_sigqueueinfo, Label::check_queued_signal);
  filter.jump_if_equal(SYS_rt_tgsigqueueinfo, Label::check_thread_queued_signal);
  filter.jump_if_equal(SYS_clone, Label::check_clone);
  filter.jump_if_equal(static_cast<std::uint32_t>(x32_call | SYS_clone), Label::check_clone);
  filter.jump_if_equal(SYS_clone3, Label::refuse_enosys);
  filter.jump_if_equal(static_cast<std::uint32_t>(x32_call | SYS_clone3), Label::refuse_enosys);
  filter.give(SECCOMP_RET_ALLOW);

  // The signal is rt_sigaction's first argument, rt_sigqueueinfo's second, rt_tgsigqueueinfo's third.
  for (const auto &[label, argument] : {std::pair{Label::check_signal, std::size_t{0}},
                                        {Label::check_queued_signal, std::size_t{1}},
                                        {Label::check_thread_queued_signal, std::size_t{2}}}) {
    filter.place(label);
    filter.load(static_cast<std::uint32_t>(offsetof(seccomp_data, args) + argument * sizeof(std::uint64_t)));
    filter.jump_if_equal(SIGSEGV, Label::trace);
    filter.give(SECCOMP_RET_ALLOW);
  }

  filter.place(Label::check_clone);
  filter.load(offsetof(seccomp_data, args[0]));  // the flags
  filter.jump_if_any_set(CLONE_UNTRACED, Label::refuse_eperm);
  filter.give(SECCOMP_RET_ALLOW);

  filter.place(Label::trace);
  filter.give(SECCOMP_RET_TRACE | seccomp_marker);
  filter.place(Label::refuse_eperm);
  filter.give(SECCOMP_RET_ERRNO | EPERM);
  filter.place(Label::refuse_enosys);
  filter.give(SECCOMP_RET_ERRNO | ENOSYS);
  return filter.finish();
}

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
      !set_up_private_mounts() || !drop_capabilities(contained_root_drops)) {
    fail(set_up.ready, LaunchFailure::contain, status_own_failure);
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
  const std::string task = std::to_string(parent);
  std::ifstream children("/proc/" + task + "/task/" + task + "/children");
  pid_t child = 0;
  if (children >> child) {
    return child;
  }
  return std::nullopt;
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
  const pid_t child = request.contain ? static_cast<pid_t>(syscall(SYS_clone, CLONE_NEWPID | CLONE_NEWNS | SIGCHLD,
                                                                   nullptr, nullptr, nullptr, nullptr))
                                      : fork();
  if (child == 0) {
    go_writer.reset();
    if (request.contain) {
      run_init(set_up);
    }
    run_program_child(set_up);
  }
  if (child < 0) {
    report_errno(request.contain ? "run the program in namespaces of its own, as it runs as root (clone); "
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
      got == sizeof readiness && readiness.stage == LaunchFailure::ready && request.contain ? only_child(child)
      : got == sizeof readiness && readiness.stage == LaunchFailure::ready                  ? std::optional(child)
                                                                                            : std::nullopt;
  if (!program) {
    end_child(child);
    errno = got == sizeof readiness ? readiness.error : ECHILD;
    report_errno(readiness.stage == LaunchFailure::contain ? "contain the program in namespaces of its own"
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

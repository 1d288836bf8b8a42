// hostile_fixture CASE: a program that tries what a hostile or careless program
// might under vuart, and prints what it observes. It is static, so that the
// virtual machine can run the very same binary as a reference.
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/fs.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <linux/userfaultfd.h>
#include <pthread.h>
#include <sched.h>
#include <sys/io.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "fixture_cases.h"

namespace {

constexpr unsigned short com1 = 0x3F8;

void show(const char *what, long result)
{
  std::printf("%s=%ld/%s\n", what, result, result < 0 ? strerrorname_np(errno) : "-");
  std::fflush(stdout);
}

void grant()
{
  if (ioperm(com1, 8, 1) != 0) {
    std::perror("ioperm");
    _exit(3);
  }
}

// Reaching vuart: attaching to it, or writing its memory.
void attach_parent()
{
  const pid_t parent = getppid();
  show("attach", ptrace(PTRACE_ATTACH, parent, nullptr, nullptr));
  show("seize", ptrace(PTRACE_SEIZE, parent, nullptr, nullptr));
  const std::string memory = "/proc/" + std::to_string(parent) + "/mem";
  show("open-mem", open(memory.c_str(), O_RDWR));
}

// Whether a child that runs `probe` ends normally: some virtual machines'
// kernels run no 32-bit code (int 0x80 faults) and never trap on debug registers.
template <typename Probe> bool child_survives(Probe probe)
{
  const pid_t child = fork();
  if (child == 0) {
    probe();
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool runs_i386()
{
  return child_survives([] {
    long pid = 20;  // i386 getpid
    asm volatile("int $0x80" : "+a"(pid) : : "memory");
  });
}

// What this machine's kernel and processor do that some tests need.
void host_abilities()
{
  const pid_t child = fork();
  if (child == 0) {
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    raise(SIGSTOP);
    getppid();
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  // An instruction breakpoint on getppid, which the child calls next.
  const auto address = reinterpret_cast<std::uintptr_t>(&getppid);
  ptrace(PTRACE_POKEUSER, child, offsetof(struct user, u_debugreg[0]), address);
  ptrace(PTRACE_POKEUSER, child, offsetof(struct user, u_debugreg[7]), 1);
  ptrace(PTRACE_CONT, child, nullptr, nullptr);
  waitpid(child, &status, 0);
  const bool breakpoints = WIFSTOPPED(status) && WSTOPSIG(status) == SIGTRAP;
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  std::printf("i386 %s\nbreakpoints %s\n", runs_i386() ? "yes" : "no", breakpoints ? "yes" : "no");
}

// Escaping tracing: a child the tracer never sees would outlive it.
void untraced_clone()
{
  const long child = syscall(SYS_clone, CLONE_UNTRACED | SIGCHLD, 0, nullptr, nullptr, 0);
  if (child == 0) {
    sleep(30);
    _exit(0);
  }
  show("clone-untraced", child);
  clone_args args{};
  args.exit_signal = SIGCHLD;
  args.flags = CLONE_UNTRACED;
  const long child3 = syscall(SYS_clone3, &args, sizeof args);
  if (child3 == 0) {
    sleep(30);
    _exit(0);
  }
  show("clone3", child3);
  // The same through int 0x80, the i386 entry that any x86-64 process may use.
  if (!runs_i386()) {
    std::printf("clone-untraced-int80=no-i386\n");
  } else {
    long child32;
    asm volatile("int $0x80\n\t"
                 "test %%eax, %%eax\n\t"
                 "jnz 1f\n\t"
                 "mov $1, %%eax\n\t"  // the child: i386 exit(0)
                 "xor %%ebx, %%ebx\n\t"
                 "int $0x80\n"
                 "1:"
                 : "=a"(child32)
                 : "a"(120L), "b"(CLONE_UNTRACED | SIGCHLD), "c"(0L), "d"(0L), "S"(0L), "D"(0L)
                 : "memory");
    errno = child32 < 0 ? static_cast<int>(-child32) : 0;
    show("clone-untraced-int80", child32 < 0 ? -1 : child32);
  }
  // libc still makes threads and processes, falling back to clone.
  pthread_t thread;
  show("pthread_create", -pthread_create(
                             &thread, nullptr, [](void *) -> void * { return nullptr; }, nullptr));
  pthread_join(thread, nullptr);
  const pid_t forked = fork();
  if (forked == 0) {
    _exit(7);
  }
  int status = 0;
  waitpid(forked, &status, 0);
  show("fork-status", WEXITSTATUS(status));
}

// A daemon that double-forks away from the program and lingers.
void orphan()
{
  if (fork() == 0) {
    setsid();
    if (fork() == 0) {
      prctl(PR_SET_NAME, "left-behind");  // to be found by, whatever its pid namespace
      std::printf("%d\n", getpid());
      std::fflush(stdout);
      sleep(60);
      _exit(0);
    }
    _exit(0);
  }
  wait(nullptr);
  usleep(100000);  // the grandchild has printed its pid
}

// The routes to standard output that bypass the output calls: io_uring, Linux
// AIO, a shared writable mapping of its file (when it is one), a reflink into
// it; and the message calls, which the trace names.
void output_routes()
{
  std::array<std::uint8_t, 120> ring_parameters{};
  show("io_uring_setup", syscall(425, 4, ring_parameters.data()));
  unsigned long context = 0;
  show("io_setup", syscall(SYS_io_setup, 1, &context));
  const int output = open("/proc/self/fd/1", O_RDWR);
  void *mapped = output < 0 ? MAP_FAILED : mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, output, 0);
  show("mmap-shared-stdout", mapped == MAP_FAILED ? -1 : 0);
  show("ficlone-stdout", ioctl(STDOUT_FILENO, FICLONE, STDIN_FILENO));
  const char sent[] = "sendmsg\n";
  iovec part{const_cast<char *>(sent), sizeof sent - 1};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  show("sendmsg", sendmsg(STDOUT_FILENO, &message, 0));
  show("sendto", send(STDOUT_FILENO, "sendto\n", 7, 0));
}

// A file made where `path` names, or the first missing directory on the way to it.
long try_to_create(const std::string &path)
{
  const std::size_t slash = path.find('/', 1);
  std::string missing = path;
  for (std::size_t at = slash; at != std::string::npos; at = path.find('/', at + 1)) {
    if (access(path.substr(0, at).c_str(), F_OK) != 0) {
      missing = path.substr(0, at);
      break;
    }
  }
  if (missing != path) {
    const long made = mkdir(missing.c_str(), 0755);
    if (made == 0) {
      rmdir(missing.c_str());
    }
    return made;
  }
  const bool existed = access(path.c_str(), F_OK) == 0;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | (existed ? O_APPEND : O_EXCL), 0755);
  if (fd < 0) {
    return -1;
  }
  close(fd);
  if (!existed) {
    unlink(path.c_str());  // nothing left behind, should it have been made
  }
  return 0;
}

// The kernel's helpers, as it names them now: each can be neither written nor made.
void kernel_helpers()
{
  std::vector<std::string> helpers = {"/sbin/request-key", "/sbin/reboot"};
  for (const char *setting : {"/proc/sys/kernel/modprobe", "/proc/sys/kernel/poweroff_cmd",
                              "/proc/sys/kernel/core_pattern", "/proc/sys/kernel/hotplug"}) {
    std::ifstream file(setting);
    std::string value;
    std::getline(file, value);
    value = value.substr(value.starts_with('|') ? 1 : 0);
    if (value.starts_with('/')) {
      helpers.push_back(value.substr(0, value.find(' ')));
    }
  }
  for (const std::string &helper : helpers) {
    show(("helper " + helper).c_str(), try_to_create(helper));
  }
}

// Which places take a new file, and which capabilities stay in the bounding set.
void places_and_capabilities()
{
  for (const char *place :
       {"/", "/usr", "/etc", "/boot", "/efi", "/tmp", "/var", "/home", "/root", "/srv", "/opt", "/run/lock"}) {
    if (access(place, F_OK) == 0) {
      const std::string file = std::string(place == std::string_view("/") ? "" : place) + "/vuart-probe";
      const long made = try_to_create(file);
      show(("write " + std::string(place)).c_str(), made);
    }
  }
  show("write here", try_to_create(std::filesystem::current_path().string() + "/vuart-probe"));
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("CapBnd:")) {
      const std::uint64_t bounding = std::stoull(line.substr(7), nullptr, 16);
      std::printf("capabilities kept:");
      for (int capability = 0; capability <= CAP_LAST_CAP; ++capability) {
        if ((bounding >> capability & 1U) != 0) {
          std::printf(" %d", capability);
        }
      }
      std::printf("\n");
    }
  }
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  show("clock_settime", clock_settime(CLOCK_REALTIME, &now));
  show("syslog-console-level", syscall(SYS_syslog, 8, nullptr, 7));
  std::fflush(stdout);
}

// What a root program might do to reach the real COM1 or to leave something
// behind that the kernel starts outside vuart: open the serial device, make a
// node for it, unmount /dev, make /proc/sys writable, set the helpers the kernel
// runs (writing back what is there, so that a run without vuart changes
// nothing), attach to PID 1, look for other processes, and leave a daemon that
// writes COM1 later.
void escape_as_root()
{
  const auto try_com1 = [](const char *what, const char *path) {
    const int fd = open(path, O_WRONLY | O_NOCTTY | O_NONBLOCK);
    show(what, fd < 0 ? fd : write(fd, "escaped\n", 8));
  };
  try_com1("open-ttyS0", "/dev/ttyS0");
  try_com1("open-ttyS0-here", "ttyS0");                  // run from /dev
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY);  // a terminal of its own works
  show("openpty", terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0
                      ? -1
                      : std::min(open(ptsname(terminal), O_RDWR | O_NOCTTY), 0));
  show("mknod", mknod("/tmp/com1", S_IFCHR | 0600, makedev(4, 64)));
  show("umount-dev", umount2("/dev", MNT_DETACH));
  try_com1("open-ttyS0-again", "/dev/ttyS0");
  show("remount-proc-sys", mount(nullptr, "/proc/sys", nullptr, MS_REMOUNT | MS_BIND, nullptr));
  for (const char *setting : {"/proc/sysrq-trigger", "/sys/bus/cpu/drivers_autoprobe"}) {
    show(setting, open(setting, O_WRONLY));  // opened only: a write there would act on the machine
  }
  for (const char *helper : {"/proc/sys/kernel/core_pattern", "/proc/sys/kernel/modprobe"}) {
    char value[256] = {};
    const int reader = open(helper, O_RDONLY);
    const ssize_t length = reader < 0 ? -1 : read(reader, value, sizeof value);
    const int writer = open(helper, O_WRONLY);
    show(helper, writer < 0 ? writer : write(writer, value, length > 0 ? static_cast<std::size_t>(length) : 0));
  }
  show("seize-pid-1", ptrace(PTRACE_SEIZE, 1, nullptr, nullptr));
  kernel_helpers();
  places_and_capabilities();
  output_routes();
  std::printf("processes in sight:");
  for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") == std::string::npos && std::stoi(name) != getpid()) {
      std::printf(" %s", name.c_str());
    }
  }
  std::printf("\n");
  std::fflush(stdout);
  if (fork() == 0) {
    setsid();
    if (fork() == 0) {
      prctl(PR_SET_NAME, "left-behind");
      sleep(2);
      try_com1("late-ttyS0", "/dev/ttyS0");
      _exit(0);
    }
    _exit(0);
  }
  wait(nullptr);
}

// The program's own seccomp filter asks for a tracer on getpid and mmap.
void own_seccomp()
{
  sock_filter code[5] = {
      {BPF_LD | BPF_W | BPF_ABS, 0, 0, offsetof(struct seccomp_data, nr)},
      {BPF_JMP | BPF_JEQ | BPF_K, 2, 0, SYS_getpid},
      {BPF_JMP | BPF_JEQ | BPF_K, 1, 0, SYS_mmap},
      {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW},
      {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_TRACE | 0x1234},
  };
  const sock_fprog program{sizeof code / sizeof code[0], code};
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  show("install", prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0));
  show("getpid", syscall(SYS_getpid) > 0 ? 1 : syscall(SYS_getpid));
  show("mmap", syscall(SYS_mmap, nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) > 0 ? 1 : -1);
  show("write", write(STDOUT_FILENO, "", 0));
}

// A process that denies itself memory both writable and executable, then sends with rep outsb.
void deny_write_execute()
{
  constexpr int set_mdwe = 65, refuse_exec_gain = 1;  // PR_SET_MDWE, PR_MDWE_REFUSE_EXEC_GAIN
  show("mdwe", prctl(set_mdwe, refuse_exec_gain, 0, 0, 0));
  grant();
  const char *text = "sent\n";
  std::uint64_t count = 5;
  asm volatile("rep outsb" : "+S"(text), "+c"(count) : "d"(com1) : "memory");
}

// SIGSEGV as the program sees it: its disposition and whether it is blocked.
void show_segv_state(const char *when)
{
  struct sigaction action {};
  sigaction(SIGSEGV, nullptr, &action);
  sigset_t blocked;
  sigprocmask(SIG_BLOCK, nullptr, &blocked);
  const char *disposition = action.sa_handler == SIG_DFL   ? "default"
                            : action.sa_handler == SIG_IGN ? "ignored"
                                                           : "handler";
  std::printf("%s: %s, %s\n", when, disposition, sigismember(&blocked, SIGSEGV) ? "blocked" : "unblocked");
}

sigjmp_buf recovery;

void crash_handler(int)
{
  show_segv_state("in the handler");
  outb('H', com1);  // logs to the serial port, as crash handlers do
  show_segv_state("after a port write in the handler");
  siglongjmp(recovery, 1);
}

void install(void (*handler)(int), int flags)
{
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = flags;
  sigaction(SIGSEGV, &action, nullptr);
}

void segv_state()
{
  grant();
  install(crash_handler, 0);
  if (sigsetjmp(recovery, 1) == 0) {
    *static_cast<volatile int *>(nullptr) = 1;
  }
  show_segv_state("after the handler");

  sigset_t segv;
  sigemptyset(&segv);
  sigaddset(&segv, SIGSEGV);
  sigprocmask(SIG_BLOCK, &segv, nullptr);
  outb('B', com1);
  show_segv_state("blocked, after a port write");
  sigprocmask(SIG_UNBLOCK, &segv, nullptr);

  install(SIG_IGN, 0);
  outb('I', com1);
  show_segv_state("ignored, after a port write");

  install(crash_handler, static_cast<int>(SA_RESETHAND));
  if (sigsetjmp(recovery, 1) == 0) {
    *static_cast<volatile int *>(nullptr) = 1;
  }
  outb('R', com1);
  show_segv_state("one-shot handler used, after a port write");
}

// SIGSEGV's state where it comes from elsewhere: the caller, another thread
// sharing the handlers, and exec. With HOSTILE_NO_PORTS set it leaves out its
// port writes, which on hardware with port access change nothing: run so
// directly, it shows what the kernel keeps.
void segv_followed()
{
  const bool ports = std::getenv("HOSTILE_NO_PORTS") == nullptr;
  const auto port_write = [ports](char byte) {
    if (ports) {
      outb(static_cast<unsigned char>(byte), com1);
    }
  };
  if (ports) {
    grant();
  }
  if (std::getenv("HOSTILE_EXECED") != nullptr) {
    port_write('E');
    show_segv_state("after exec, after a port write");
    // A handler, a port write, then a real fault: the handler must get it.
    install([](int) { siglongjmp(recovery, 1); }, 0);
    port_write('F');
    show_segv_state("with a handler, after a port write");
    if (sigsetjmp(recovery, 1) == 0) {
      *static_cast<volatile int *>(nullptr) = 1;
    }
    show_segv_state("after a real fault reached the handler");
    return;
  }
  port_write('C');
  show_segv_state("as the caller left it, after a port write");
  install(SIG_DFL, 0);
  pthread_t thread;
  pthread_create(
      &thread, nullptr,
      [](void *) -> void * {
        install(SIG_IGN, 0);
        return nullptr;
      },
      nullptr);
  pthread_join(thread, nullptr);
  port_write('T');
  show_segv_state("ignored by another thread, after a port write");
  install(crash_handler, 0);
  setenv("HOSTILE_EXECED", "1", 1);
  std::fflush(stdout);
  execl("/proc/self/exe", "hostile_fixture", "segv-followed", nullptr);
}

// System calls at their edges, which vuart stops and makes again: their answers
// as without vuart. With HOSTILE_NO_PORTS set, as segv-followed, it leaves out
// its port writes. Standard output must be a file.
void call_edges()
{
  const bool ports = std::getenv("HOSTILE_NO_PORTS") == nullptr;
  if (ports) {
    grant();
  }
  show("write-null", write(STDOUT_FILENO, nullptr, 10));
  static std::array<char, 300 * 1024> large;
  large.fill('p');
  iovec part{large.data(), 200 * 1024};  // more than one piece, at the file's own offset
  show("pwritev2-at-minus-1", pwritev2(STDOUT_FILENO, &part, 1, -1, 0));
  const rlimit file_size{400 * 1024, RLIM_INFINITY};
  setrlimit(RLIMIT_FSIZE, &file_size);
  signal(SIGXFSZ, SIG_IGN);
  const ssize_t cut_short = write(STDOUT_FILENO, large.data(), large.size());  // a short piece ends it
  const rlimit no_limit{RLIM_INFINITY, RLIM_INFINITY};
  setrlimit(RLIMIT_FSIZE, &no_limit);
  show("write-cut-short", cut_short);
  // Failed calls change nothing: a SIGSEGV queued to no process, an action of the wrong size.
  siginfo_t queued{};
  queued.si_signo = SIGSEGV;
  queued.si_code = SI_KERNEL;
  show("rt_sigqueueinfo-to-no-process", syscall(SYS_rt_sigqueueinfo, 0x3FFFFFFF, SIGSEGV, &queued));
  if (ports) {
    outb('Q', com1);  // a port fault, not the queued signal
  }
  install([](int) { siglongjmp(recovery, 1); }, 0);
  const std::array<unsigned long, 4> ignore{reinterpret_cast<unsigned long>(SIG_IGN), 0, 0, 0};
  show("rt_sigaction-wrong-size", syscall(SYS_rt_sigaction, SIGSEGV, ignore.data(), nullptr, 7));
  if (ports) {
    outb('A', com1);
  }
  show_segv_state("after it and a port write");
}

// Threads that end, and a process that ends, while port instructions are in flight.
void thread_churn()
{
  grant();
  for (int round = 0; round < 10; ++round) {
    if (fork() == 0) {
      for (int i = 0; i < 3; ++i) {
        pthread_t thread;
        pthread_create(
            &thread, nullptr,
            [](void *) -> void * {
              for (;;) {
                outb('t', com1);
              }
            },
            nullptr);
      }
      usleep(1000);
      _exit(0);  // ends the threads in the middle of their port instructions
    }
    wait(nullptr);
  }
}

// Writes to standard output while another thread changes the buffer, and large
// writes that a timer's handler, which writes too, may interrupt; says how much
// it wrote in all.
void racing_writes()
{
  static char line[100];
  static std::atomic<bool> writing{true};
  std::memset(line, 'a', sizeof line);
  pthread_t flipper;
  pthread_create(
      &flipper, nullptr,
      [](void *) -> void * {
        while (writing) {
          for (char &byte : line) {
            byte = static_cast<char>(byte ^ 1);
          }
        }
        return nullptr;
      },
      nullptr);
  std::size_t total = 0;
  for (int i = 0; i < 200; ++i) {
    total += static_cast<std::size_t>(std::max<ssize_t>(write(STDOUT_FILENO, line, sizeof line), 0));
  }
  writing = false;
  pthread_join(flipper, nullptr);

  std::string large(3 << 20, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) {
    large[i] = static_cast<char>('A' + i % 26);
  }
  // Its handler writes too, to standard error: its call comes between the pieces of the large one's.
  static volatile sig_atomic_t alarms = 0;
  struct sigaction interrupting {};
  interrupting.sa_handler = [](int) { alarms = alarms + static_cast<sig_atomic_t>(write(STDERR_FILENO, "!", 1)); };
  sigaction(SIGALRM, &interrupting, nullptr);  // without SA_RESTART
  const itimerval often{{0, 300}, {0, 300}};
  setitimer(ITIMER_REAL, &often, nullptr);
  for (std::size_t done = 0; done < large.size();) {
    const ssize_t wrote = write(STDOUT_FILENO, large.data() + done, large.size() - done);
    done += static_cast<std::size_t>(std::max<ssize_t>(wrote, 0));
    total += static_cast<std::size_t>(std::max<ssize_t>(wrote, 0));
  }
  const itimerval never{};
  setitimer(ITIMER_REAL, &never, nullptr);
  // At the file's end, in pieces too: each piece goes where the one before ended.
  const off_t end = lseek(STDOUT_FILENO, 0, SEEK_END);
  total += static_cast<std::size_t>(std::max<ssize_t>(pwrite(STDOUT_FILENO, large.data(), large.size(), end), 0));
  iovec parts[] = {{large.data(), 10}, {large.data() + 100, 300000}, {large.data() + 5, 7}};
  lseek(STDOUT_FILENO, 0, SEEK_END);
  total += static_cast<std::size_t>(std::max<ssize_t>(writev(STDOUT_FILENO, parts, 3), 0));
  std::fprintf(stderr, "\nwrote %zu, %d alarms\n", total, static_cast<int>(alarms));
}

volatile sig_atomic_t terms = 0;

// Counts the SIGTERMs that arrive once it is ready: a copy would come within half a second.
void count_terms()
{
  std::signal(SIGTERM, [](int) { terms = terms + 1; });
  std::puts("ready");
  std::fflush(stdout);
  while (terms == 0) {
    usleep(1000);
  }
  usleep(500000);
  std::printf("SIGTERM %d\n", static_cast<int>(terms));
}

// vuart's footprint under attack. Port I/O goes on in a thread throughout: a
// line to COM1 with rep outsb, and COM1's scratch register read back into
// memory with rep insb. Run natively as "footprint-reference", the same moves
// are memory operations, and the memory digest printed last must be the same.
bool through_ports = true;
constexpr unsigned short scratch = com1 + 7;

void send(const std::uint8_t *from, std::uint64_t count)
{
  if (through_ports) {
    asm volatile("cld; rep outsb" : "+S"(from), "+c"(count) : "d"(com1) : "memory");
  }
}

void fill_from_scratch(std::uint8_t *to, std::uint64_t count, std::uint8_t value)
{
  if (!through_ports) {
    std::memset(to, value, count);
    return;
  }
  outb(value, scratch);
  asm volatile("cld; rep insb" : "+D"(to), "+c"(count) : "d"(scratch) : "memory");
}

// A child process that runs this program anew, so that it starts without vuart's memory.
int run_case(const char *name)
{
  const pid_t child = fork();
  if (child == 0) {
    execl("/proc/self/exe", "hostile_fixture", name, nullptr);
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return status;
}

// What a child does under the limit or policy it set itself: a line, and the scratch register read back.
void port_io_after(const char *what, long result)
{
  show(what, result);
  grant();
  std::uint8_t line[] = "sent despite it\n";
  std::uint8_t back[64];
  send(line, sizeof line - 1);
  fill_from_scratch(back, sizeof back, 0x5A);
  show("read-back", std::count(back, back + sizeof back, 0x5A));
}

std::pair<std::uint64_t, std::uint64_t> mapping_named(std::string_view name)
{
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    if (line.find(name) != std::string::npos) {
      return {std::stoull(line, nullptr, 16), std::stoull(line.substr(line.find('-') + 1), nullptr, 16)};
    }
  }
  return {0, 0};
}

// Starts threads that send `bytes` at a time with rep outsb for ever, after asking for the ports.
void busy_threads(int threads, std::size_t bytes)
{
  grant();
  static std::uint8_t burst[1 << 20];
  for (int n = 0; n < threads; ++n) {
    std::thread([bytes] {
      for (;;) {
        send(burst, bytes);
      }
    }).detach();
  }
  usleep(200000);
}

// A thread whose rep outsb waits for COM1's room while another crashes on a HLT:
// the processor ends the process at once.
void crash_while_waiting()
{
  busy_threads(1, std::size_t{1} << 20);
  asm volatile("hlt");
}

// Threads that loop on port I/O while the main thread makes a thread and execs:
// every one of those stops must be served, whatever the busy threads do.
void starvation()
{
  busy_threads(8, 16);
  std::thread([] { std::puts("created"); }).join();
  std::fflush(stdout);
  execl("/bin/true", "true", nullptr);
}

// With iopl(3), Linux makes CLI and STI no-ops, as old tools that bracket their port I/O with them expect.
void cli_sti()
{
  if (iopl(3) != 0) {
    std::perror("iopl");
    _exit(3);
  }
  asm volatile("cli");
  outb('K', com1);
  asm volatile("sti");
  std::puts("cli-sti=ok");
}

// Written to first, so that vuart may have found its first calls' instruction in the vDSO.
void without_vdso()
{
  const auto [start, end] = mapping_named("[vdso]");
  show("vdso", start != 0 ? 1 : 0);
  port_io_after("munmap-vdso", munmap(reinterpret_cast<void *>(start), end - start));
}

// A rep outsb from a page whose fault nobody serves: the thread never comes back from it.
void stuck_fault()
{
  grant();
  constexpr int user_mode_only = 1;  // UFFD_USER_MODE_ONLY
  const int uffd = static_cast<int>(syscall(SYS_userfaultfd, O_CLOEXEC | user_mode_only));
  uffdio_api api{UFFD_API, 0, 0};
  void *const page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  uffdio_register range{{reinterpret_cast<std::uint64_t>(page), 4096}, UFFDIO_REGISTER_MODE_MISSING, 0};
  if (uffd < 0 || ioctl(uffd, UFFDIO_API, &api) != 0 || ioctl(uffd, UFFDIO_REGISTER, &range) != 0) {
    std::perror("userfaultfd");
    _exit(3);
  }
  std::puts("ready");
  std::fflush(stdout);
  send(static_cast<const std::uint8_t *>(page), 1);
}

void low_address_limit()
{
  rlim_t pages = 0;  // the address space in use, statm's first field
  std::ifstream("/proc/self/statm") >> pages;
  const rlimit limit{(pages + 16) * 4096, (pages + 16) * 4096};
  port_io_after("rlimit-as", setrlimit(RLIMIT_AS, &limit));
}

// Kills the process for mmap and rt_sigaction, with SIGSEGV ignored, which the kernel resets at a port #GP.
// It writes first, so that vuart may have judged its policy before it has one.
void own_policy()
{
  show("segv-ignored", std::signal(SIGSEGV, SIG_IGN) == SIG_ERR ? -1 : 0);
  sock_filter code[5] = {
      {BPF_LD | BPF_W | BPF_ABS, 0, 0, offsetof(struct seccomp_data, nr)},
      {BPF_JMP | BPF_JEQ | BPF_K, 2, 0, SYS_mmap},
      {BPF_JMP | BPF_JEQ | BPF_K, 1, 0, SYS_rt_sigaction},
      {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW},
      {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_KILL_PROCESS},
  };
  const sock_fprog program{sizeof code / sizeof code[0], code};
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  port_io_after("seccomp", prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0));
}

// System calls from anywhere but the program's own code raise SIGSYS.
volatile char dispatch_selector = 1;  // SYSCALL_DISPATCH_FILTER_BLOCK
void syscall_dispatch()
{
  const auto [text, text_end] = mapping_named("r-xp");
  constexpr int set_dispatch = 59, dispatch_on = 1;  // PR_SET_SYSCALL_USER_DISPATCH, PR_SYS_DISPATCH_ON
  port_io_after("dispatch",
                prctl(set_dispatch, dispatch_on, text, text_end - text, const_cast<char *>(&dispatch_selector)));
}

void footprint()
{
  if (through_ports) {
    std::printf("children: %x %x %x %x\n", run_case("no-vdso"), run_case("low-rlimit"), run_case("own-policy"),
                run_case("syscall-dispatch"));
    grant();
  }
  constexpr std::size_t round = 64 * 1024;
  static std::uint8_t line[round];
  static std::uint8_t received[16][round];
  for (std::size_t i = 0; i < round; ++i) {
    line[i] = static_cast<std::uint8_t>('a' + i % 26);
  }
  std::atomic<bool> started = false;
  std::thread porter([&] {
    for (std::size_t n = 0; n < std::size(received); ++n) {
      send(line, round);
      fill_from_scratch(received[n], round, static_cast<std::uint8_t>(n + 1));
      started = true;
    }
  });
  while (!started) {
    sched_yield();
  }
  // Everything a program can do to memory it did not map, while the thread goes on.
  const auto code = reinterpret_cast<void *>(mapping_named("vuart-transfer-code").first);
  auto *const data = static_cast<char *>(code) + 4096;
  if (code != nullptr) {
    const auto mapped = [](void *address) { return address == MAP_FAILED ? -1L : 0L; };
    const int anonymous = MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS;
    show("map-over-code", mapped(mmap(code, 4096, PROT_READ | PROT_WRITE | PROT_EXEC, anonymous, -1, 0)));
    const int mem = open("/proc/self/mem", O_RDWR);
    show("proc-mem-code", pwrite(mem, "\x90\x90", 2, reinterpret_cast<off_t>(code)));
    close(mem);
    show("mprotect-code", mprotect(code, 4096, PROT_READ | PROT_WRITE));
    show("munmap-data", munmap(data, 4096));
    show("mremap-data", mapped(mremap(data, 1 << 20, 2 << 20, MREMAP_MAYMOVE)));
    show("fixed-over-data", mapped(mmap(data, 4096, PROT_READ, anonymous, -1, 0)));
    show("noreplace-data", mapped(mmap(data, 4096, PROT_READ, anonymous ^ MAP_FIXED ^ MAP_FIXED_NOREPLACE, -1, 0)));
    const int segment = shmget(IPC_PRIVATE, 4096, 0600);
    show("shmat-data", mapped(shmat(segment, data, SHM_REMAP)));
    shmctl(segment, IPC_RMID, nullptr);
  }
  porter.join();
  if (code != nullptr) {
    show("madvise-data", madvise(data, 1 << 20, MADV_DONTNEED));  // its bytes are vuart's to put back
  }
  send(line, 26);
  fill_from_scratch(received[0], 26, '!');
  std::uint64_t digest = 14695981039346656037ULL;  // FNV-1a over what the port instructions left in memory
  for (const auto &block : received) {
    for (const std::uint8_t byte : block) {
      digest = (digest ^ byte) * 1099511628211ULL;
    }
  }
  std::printf("memory %016llx\n", static_cast<unsigned long long>(digest));
}

// More writes blocked on standard output at once than vuart has snapshot slots,
// while another thread flips their buffers: what the trace records must be what
// reached the file. Says on standard error how many snapshot areas it was given.
void blocked_writes()
{
  constexpr std::size_t writers = 540;  // vuart has 512 slots a process
  constexpr std::size_t each = 8 * 1024;
  static std::uint8_t buffers[writers][each];
  std::atomic<bool> done = false;
  std::vector<std::thread> threads;
  for (std::size_t n = 0; n < writers; ++n) {
    std::memset(buffers[n], static_cast<int>(n % 251), each);
    threads.emplace_back([n] {
      for (std::size_t at = 0; at < each;) {
        const ssize_t wrote = write(STDOUT_FILENO, buffers[n] + at, each - at);
        at += wrote > 0 ? static_cast<std::size_t>(wrote) : each;
      }
    });
  }
  std::thread flipper([&] {
    while (!done) {
      for (auto &buffer : buffers) {
        buffer[0] = static_cast<std::uint8_t>(~buffer[0]);
        buffer[each - 1] = static_cast<std::uint8_t>(~buffer[each - 1]);
      }
    }
  });
  for (auto &thread : threads) {
    thread.join();
  }
  done = true;
  flipper.join();
  std::ifstream maps("/proc/self/maps");
  int areas = 0;
  for (std::string line; std::getline(maps, line);) {
    areas += line.find("vuart-write-snapshots") != std::string::npos ? 1 : 0;
  }
  std::fprintf(stderr, "snapshot areas: %d\n", areas);
}

void footprint_reference()
{
  through_ports = false;
  footprint();
}

}  // namespace

int main(int argc, char *argv[])
{
  static constexpr FixtureCase cases[] = {{"attach-parent", attach_parent},
                                          {"untraced-clone", untraced_clone},
                                          {"orphan", orphan},
                                          {"own-seccomp", own_seccomp},
                                          {"segv-state", segv_state},
                                          {"thread-churn", thread_churn},
                                          {"count-term", count_terms},
                                          {"segv-followed", segv_followed},
                                          {"mdwe", deny_write_execute},
                                          {"escape", escape_as_root},
                                          {"host-abilities", host_abilities},
                                          {"output-routes", output_routes},
                                          {"call-edges", call_edges},
                                          {"racing-writes", racing_writes},
                                          {"footprint", footprint},
                                          {"footprint-reference", footprint_reference},
                                          {"no-vdso", without_vdso},
                                          {"low-rlimit", low_address_limit},
                                          {"own-policy", own_policy},
                                          {"syscall-dispatch", syscall_dispatch},
                                          {"blocked-writes", blocked_writes},
                                          {"stuck-fault", stuck_fault},
                                          {"cli-sti", cli_sti},
                                          {"crash-while-waiting", crash_while_waiting},
                                          {"starvation", starvation}};
  return run_named_case(argc, argv, cases, "hostile_fixture CASE") ? 0 : 2;
}

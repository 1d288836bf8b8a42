// The guest image's init: runs the diagnostic once as an unprivileged user (it
// must be refused and abort) and once as root, marks the root run on COM1
// through the kernel's tty so that it can be found in a capture that holds other
// output too, reports both runs on the console, waits until the console has
// sent the report, and powers the machine off.
// It needs nothing but a kernel with the 8250 driver built in: no shell, no libc
// of the guest's.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "com1_bytes.h"

namespace {

constexpr char diagnostic[] = "/outsb";
constexpr char com1_tty[] = "/dev/ttyS0";
constexpr unsigned nobody = 65534;

FILE *console;

struct Captured {
  char bytes[8192];
  size_t length;
};

struct Run {
  int status;
  Captured out;
  Captured err;
};

void say(const char *message)
{
  fprintf(console, "outsb-guest: %s\n", message);
  fflush(console);
}

void fail(const char *what)
{
  fprintf(console, "outsb-guest: %s: %s\n", what, strerror(errno));
  fflush(console);
}

void read_all(int fd, Captured &into)
{
  into.length = 0;
  ssize_t got;
  while ((got = read(fd, into.bytes + into.length, sizeof into.bytes - into.length)) > 0 ||
         (got < 0 && errno == EINTR)) {
    into.length += got > 0 ? static_cast<size_t>(got) : 0;
  }
  close(fd);
}

// Runs the diagnostic with its standard output and error captured.
Run run_diagnostic(bool unprivileged)
{
  Run run{};
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    fail("pipe2");
    run.status = -1;
    return run;
  }
  const pid_t child = fork();
  if (child == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    if (unprivileged && (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)) {
      _exit(126);
    }
    char *const argv[] = {const_cast<char *>(diagnostic), nullptr};
    char *const envp[] = {nullptr};
    execve(diagnostic, argv, envp);
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  // The diagnostic writes far less than a pipe holds: read each once it is done.
  while (child > 0 && waitpid(child, &run.status, 0) < 0 && errno == EINTR) {
  }
  read_all(out[0], run.out);
  read_all(err[0], run.err);
  if (child < 0) {
    fail("fork");
    run.status = -1;
  }
  return run;
}

void report_bytes(const char *name, const char *stream, const Captured &captured)
{
  fprintf(console, "outsb-guest: %s %s: \"", name, stream);
  for (size_t i = 0; i < captured.length; ++i) {
    const auto byte = static_cast<unsigned char>(captured.bytes[i]);
    if (byte == '\n') {
      fputs("\\n", console);
    } else if (byte == '"' || byte == '\\') {
      fprintf(console, "\\%c", byte);
    } else if (byte < 0x20 || byte >= 0x7F) {
      fprintf(console, "\\x%02x", byte);
    } else {
      fputc(byte, console);
    }
  }
  fputs("\"\n", console);
}

void report(const char *name, const Run &run)
{
  if (WIFEXITED(run.status)) {
    fprintf(console, "outsb-guest: %s: exited with status %d\n", name, WEXITSTATUS(run.status));
  } else if (WIFSIGNALED(run.status)) {
    fprintf(console, "outsb-guest: %s: killed by signal %d\n", name, WTERMSIG(run.status));
  } else {
    fprintf(console, "outsb-guest: %s: did not run\n", name);
  }
  report_bytes(name, "stdout", run.out);
  report_bytes(name, "stderr", run.err);
  fflush(console);
}

// Writes a marker line to COM1 through the kernel's driver, raw, and waits until
// the UART has sent it, so that it cannot mix with what the diagnostic sends.
bool mark(const char *marker)
{
  const int tty = open(com1_tty, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios settings{};
  if (tty < 0 || tcgetattr(tty, &settings) != 0) {
    fail("open /dev/ttyS0");
    return false;
  }
  cfmakeraw(&settings);
  const bool sent = tcsetattr(tty, TCSANOW, &settings) == 0 &&
                    write(tty, marker, strlen(marker)) == static_cast<ssize_t>(strlen(marker)) &&
                    write(tty, "\n", 1) == 1 && tcdrain(tty) == 0;
  if (!sent) {
    fail("write a marker to /dev/ttyS0");
  }
  close(tty);
  return sent;
}

}  // namespace

int main()
{
  mkdir("/dev", 0755);
  mount("devtmpfs", "/dev", "devtmpfs", 0, nullptr);
  console = fopen("/dev/console", "w");
  if (console == nullptr) {
    console = stderr;
  }
  say("starting");
  report("unprivileged", run_diagnostic(true));
  if (mark(com1_bytes::begin_marker)) {
    const Run root = run_diagnostic(false);
    mark(com1_bytes::end_marker);
    report("root", root);
  }
  say("done");
  // Power-off cuts off what the console's driver has not sent yet: on a UART
  // that sends at its line rate that is most of the report.
  tcdrain(fileno(console));
  sync();
  reboot(RB_POWER_OFF);
  fail("power off");
  reboot(RB_AUTOBOOT);  // a virtual machine started with -no-reboot stops here
  return 1;
}

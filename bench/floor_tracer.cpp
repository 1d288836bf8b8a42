// floor_tracer PROGRAM [ARG...]: the least a ptrace design can do per port
// instruction: wait for the stop, fetch the registers, step RIP over a one-byte
// "out dx, al", set them, resume. No decoding, no permissions, no device.
// It is the floor that vuart's cost per stop is measured against.
#include <sys/ptrace.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

int main(int argc, char *argv[])
{
  if (argc < 2) {
    std::fprintf(stderr, "usage: floor_tracer PROGRAM [ARG...]\n");
    return 2;
  }
  const pid_t child = fork();
  if (child == 0) {
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    execv(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);  // the exec stop
  ptrace(PTRACE_CONT, child, nullptr, 0);
  unsigned long stops = 0;
  while (waitpid(child, &status, 0) == child && WIFSTOPPED(status)) {
    int signal = WSTOPSIG(status);
    if (signal == SIGSEGV) {
      user_regs_struct regs{};
      ptrace(PTRACE_GETREGS, child, nullptr, &regs);
      regs.rip += 1;
      ptrace(PTRACE_SETREGS, child, nullptr, &regs);
      signal = 0;
      ++stops;
    }
    ptrace(PTRACE_CONT, child, nullptr, signal);
  }
  std::fprintf(stderr, "floor_tracer: %lu stops\n", stops);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

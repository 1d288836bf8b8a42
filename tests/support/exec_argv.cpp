// exec_argv PROGRAM [ARG...]: runs PROGRAM with exactly the given argument
// vector, which may be empty (argc 0): something a shell cannot do.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

int main(int argc, char *argv[])
{
  if (argc < 2) {
    std::fprintf(stderr, "usage: exec_argv PROGRAM [ARG...]\n");
    return 2;
  }
  execve(argv[1], argv + 2, environ);
  std::fprintf(stderr, "exec_argv: execve %s: %s\n", argv[1], std::strerror(errno));
  return 127;
}

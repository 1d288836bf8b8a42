// own_filter PROGRAM [ARG...]: runs PROGRAM under a seccomp filter of its own that
// allows everything, as a sandboxed program would be; vuart then makes no
// system calls in it.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
  if (argc < 2) {
    std::fprintf(stderr, "usage: own_filter PROGRAM [ARG...]\n");
    return 2;
  }
  sock_filter allow_all = {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW};
  const sock_fprog filter{1, &allow_all};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
    std::fprintf(stderr, "own_filter: seccomp: %s\n", std::strerror(errno));
    return 125;
  }
  execv(argv[1], argv + 1);
  std::fprintf(stderr, "own_filter: execv %s: %s\n", argv[1], std::strerror(errno));
  return 127;
}

// Built with the diagnostic's own settings: a signed overflow must stop the
// process with the sanitizer's report, not wrap silently.
#include <stdio.h>

int main(int argc, char **)
{
  volatile int largest = 0x7fffffff;
  int sum = largest + argc;
  printf("not reached: %d\n", sum);
  return 0;
}

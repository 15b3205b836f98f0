/* The installed C header compiles as C and the exports link from C. */
#include <mplnet/mplnet.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  double out[1];
  const double in[2] = {1.0, 2.0};
  const char* status = MPLRun(out, in, 2);
  printf("%s\n", status);
  return strcmp(status, "Error: MPLRun, no network loaded") == 0 ? 0 : 1;
}

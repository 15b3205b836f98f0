/* A host written in C: includes the public header and calls the shared library's exports. */
#include <mplnet/mplnet.h>
#include <stdio.h>
#include <string.h>

static int failures = 0;

static void expect_text(const char* got, const char* want, const char* what) {
  if (got == NULL || strcmp(got, want) != 0) {
    printf("FAIL %s: got \"%s\", want \"%s\"\n", what, got ? got : "(null)", want);
    ++failures;
  }
}

int main(void) {
  double out[1] = {-1.0};
  const double in[2] = {1.0, 2.0};
  if (MPLGetOutArraySize() != 0) {
    printf("FAIL MPLGetOutArraySize without a network: %d\n", MPLGetOutArraySize());
    ++failures;
  }
  expect_text(MPLRun(out, in, 2), "Error: MPLRun, no network loaded", "MPLRun without a network");
  expect_text(MPLRun(NULL, NULL, 0), "Error: MPLRun, no network loaded", "MPLRun with NULL arrays");
  expect_text(MPLSetData(NULL, 1, 0, 0), "Error: MPLSetData, rates is NULL", "MPLSetData with NULL");
  if (out[0] != -1.0) {
    printf("FAIL MPLRun wrote into out_array on an error\n");
    ++failures;
  }
  printf("%d passed, %d failed\n", failures == 0 ? 1 : 0, failures == 0 ? 0 : 1);
  return failures == 0 ? 0 : 1;
}

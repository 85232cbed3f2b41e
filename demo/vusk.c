/* vusk.exe of the demo Tessaline: prints its own version and the versions
   of the two libraries it was loaded with, as one line, and exits 0. */
#include <stdio.h>

#include "orv.h"

int main(void) {
  printf("Tessaline %s (core %s, text %s)\n", DEMO_VERSION, OrvCoreVersion(),
         OrvTextVersion());
  return fflush(stdout) == 0 ? 0 : 1;
}

/* orvtext.dll of the demo Tessaline. */
#include "orv.h"

const char* OrvTextVersion(void) { return DEMO_VERSION; }

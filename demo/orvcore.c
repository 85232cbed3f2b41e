/* orvcore.dll of the demo Tessaline. */
#include "orv.h"

const char* OrvCoreVersion(void) { return DEMO_VERSION; }

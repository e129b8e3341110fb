// Views of the estimate: not built yet.
#include "render/qor_ppm.h"

void qorPPM::visualize(qorScene&, int32_t, int32_t) {}

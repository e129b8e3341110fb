// The eye pass: not built yet.
#include "render/qor_ppm.h"

int qorPPM::image_sampling_pass(qorScene&) {
  return 0;
}

void eye_pass(qorPPM&, qorScene&, int) {}

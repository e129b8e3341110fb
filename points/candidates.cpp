// Measurement point creation: not built yet.
#include "render/qor_ppm.h"

int qorPPM::indirect_illumination(float result[3], qorRay&) {
  result[0] = result[1] = result[2] = 0.0f;
  return 1;
}

void qorPPM::commit_candidate(int) {}

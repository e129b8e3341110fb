// Direct light and the diffuse continuation at camera-ray hits: not built yet.
#include "render/qor_ppm.h"

int qorPPM::direct_illumination(float result[3], qorRay&, void*) {
  result[0] = result[1] = result[2] = 0.0f;
  return 1;
}

int diffuse_continuation(float result[3], qorRay&) {
  result[0] = result[1] = result[2] = 0.0f;
  return 0;
}

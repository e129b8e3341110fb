// Point refinement and light irradiance: not built yet.
#include "render/qor_ppm.h"

void qorPPM::refine_points(qorScene&) {}

void qorPPM::photon_light_irradiance(float out[3], const float*, const float*, qorRay&) {
  out[0] = out[1] = out[2] = 0.0f;
}

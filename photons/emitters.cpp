// Photon emitters and photon lights: not built yet.
#include "render/qor_ppm.h"

void qorPPM::enumerate_emitters(qorScene&) {}

void qorPPM::store_photon(const float*, qorRay&) {}

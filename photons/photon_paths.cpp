// Photon paths and their deposit: not built yet.
#include "render/qor_ppm.h"
#include "tree/ppm_tree.h"

void qorPPM::deposit_photon(ppm_tree&, const float*, qorRay&) {}
void qorPPM::flush_path_buffer(ppm_tree&, qorRay&) {}
void trace_emission_jobs(qorPPM&, qorScene&, uint32_t, uint32_t, uint32_t) {}

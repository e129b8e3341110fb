// Emission jobs and photon tracing threads: not built yet.
#include "render/qor_ppm.h"

void qorPPM::photon_setup(qorScene&) {}
void qorPPM::create_emission_jobs(uint32_t, uint32_t) {}
void qorPPM::trace_photons(qorScene&) {}
void qorPPM::update_emitter_statistics() {}

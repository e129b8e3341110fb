// The host's default behaviour of the shared base classes. Hosts (the engine and the tests' fake
// host) link this; a module leaves these symbols to the host that loads it.
#include "host/classes.h"

qorInstaller::~qorInstaller() = default;
uint32_t qorInstaller::version() const {
  return version_word;
}
int qorInstaller::return_type() const {
  return 0;
}
bool qorInstaller::has_object_specific_data() const {
  return false;
}
uint32_t qorInstaller::flags() const {
  return 0;
}

int qorIllum_api::direct_illumination(float result[3], qorRay&, void*) {
  result[0] = result[1] = result[2] = 0.0f;
  return 0;
}
int qorIllum_api::indirect_illumination(float result[3], qorRay&) {
  result[0] = result[1] = result[2] = 0.0f;
  return 0;
}
int qorIllum_api::locate_photons(qorRay&) {
  return 0;
}
void qorIllum_api::store_photon(const float*, qorRay&) {}
void qorIllum_api::init_frame(qorScene&) {}
void qorIllum_api::exit_frame(qorScene&) {}
void qorIllum_api::setup(qorScene&) {}
void qorIllum_api::cleanup() {}
void qorIllum_api::build_photon_maps(qorScene&) {}
void qorIllum_api::delete_photon_maps(qorScene&) {}
void qorIllum_api::set_frame(int) {}
qorIllum_api::~qorIllum_api() = default;

qorTask::~qorTask() = default;
void qorTask::finish() {}

qorLight::~qorLight() = default;

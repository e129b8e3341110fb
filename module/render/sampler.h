// The image sampler the host calls to render a frame with the progressive photon mapper.
#pragma once

#include "host/qor.h"

class qorPPM;

class qorPPM_sampler final : public qorImage_sampler {
 public:
  const char* name() override;
  int render(qorScene& scene) override;

  qorPPM* renderer = nullptr;
};

// The module's renderer and sampler: built once, on first use, and kept until the module unloads.
qorPPM& the_renderer();
qorPPM_sampler& the_sampler();

// The module's installer: how the host learns the parameter block and creates the renderer.
#pragma once

#include <cstdint>

#include "host/qor.h"

struct declaration_record {
  int64_t flags;
  const char* parameter_text;
  const char* help_text;
};
static_assert(sizeof(declaration_record) == 24);

extern const declaration_record ppm_declaration;

class ppm_installer final : public qorInstaller {
 public:
  int parameter_size() override;
  void* default_parameters(qorScene& scene, void* block) override;
  void* create(qorScene& scene, void* block) override;
  const void* declaration() override;
  void* extension() override;
};

// The installer the module registers; built on first use.
ppm_installer& the_installer();

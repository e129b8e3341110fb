// Emitters for the photon tracing tests: shaders, materials, emissive objects and lights that
// the fake host hands to the module, and emitter records built directly.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "host/qor.h"
#include "module/photons/photon_records.h"
#include "module/render/qor_ppm.h"
#include "tests/module/fake_host.h"

// A scene light of the fake host. Only its material and its place in the list matter here.
struct test_light final : qorLight {
  int kind() const override { return 0; }
  float power() const override { return 0.0f; }
  void add_direct_light(float*, qorRay&, qorRay&) override {}
};

// Distinct, never dereferenced shader handles, and the number of one.
inline qorShader* test_shader(int n) {
  static char handles[16];
  return reinterpret_cast<qorShader*>(&handles[n]);
}
inline int shader_number(const qorShader* shader) {
  return static_cast<int>(reinterpret_cast<const char*>(shader) -
                          reinterpret_cast<const char*>(test_shader(0)));
}

// Makes shader n answer the power query with powers[n].
inline void answer_powers(std::vector<float> powers) {
  host().info_shader = [powers](qorRay*, qorShader* shader, int info, void* data) {
    if (info == qor_shader_power) *static_cast<float*>(data) = powers.at(shader_number(shader));
    return 1;
  };
}

inline photon_emitter emitter_record(float power, qorLight* light, qorObject* object) {
  return {test_shader(0), light, object, power, 0, 0, 1.0f, 0};
}

inline qorObject* test_object() {
  static qorMaterial material{test_shader(1)};
  static qorObject object{&material};
  return &object;
}

inline photon_emitter camera_emitter(float power) {
  return emitter_record(power, nullptr, nullptr);
}
inline photon_emitter object_emitter(float power) {
  return emitter_record(power, nullptr, test_object());
}
inline photon_emitter light_emitter(float power, qorLight* light) {
  return emitter_record(power, light, nullptr);
}

// Replaces the renderer's emitters and sums their power, as the enumeration would.
inline void set_emitters(qorPPM& renderer, std::vector<photon_emitter> list) {
  renderer.emitters = std::move(list);
  renderer.total_power = 0.0f;
  for (const photon_emitter& e : renderer.emitters) renderer.total_power += e.power;
}

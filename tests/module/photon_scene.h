// Emitters for the photon tracing tests: shaders, materials, emissive objects and lights that
// the fake host hands to the module, and emitter records built directly.
#pragma once

#include <cstdint>
#include <map>

#include "host/qor.h"
#include "photons/photon_records.h"

// A scene light of the fake host. Only its material and its place in the list matter here.
struct test_light final : qorLight {
  int kind() const override { return 0; }
  float power() const override { return 0.0f; }
  void add_direct_light(float*, qorRay&, qorRay&) override {}
};

// Distinct, never dereferenced shader handles.
inline qorShader* test_shader(int n) {
  static char handles[16];
  return reinterpret_cast<qorShader*>(&handles[n]);
}

// Answers the power query (info 6) of each shader from a table.
struct shader_powers {
  std::map<qorShader*, float> power;

  int answer(qorShader* shader, int info, void* data) const {
    if (info != qor_shader_power) return 0;
    auto it = power.find(shader);
    if (it != power.end()) *static_cast<float*>(data) = it->second;
    return 1;
  }
};

inline photon_emitter emitter_record(float power, qorLight* light, qorObject* object) {
  photon_emitter e{};
  e.shader = test_shader(0);
  e.light = light;
  e.object = object;
  e.power = power;
  e.weight = 1.0f;
  return e;
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

// Scenes built by hand and a recording illumination object, shared by the runtime's tests.
#pragma once

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/runtime/camera.h"
#include "engine/runtime/engine.h"
#include "engine/runtime/lights/light.h"
#include "engine/runtime/materials/material.h"
#include "engine/runtime/scene_conversion.h"
#include "engine/runtime/traceable_scene.h"
#include "engine/scene/parse_scene.h"
#include "host/qor.h"

namespace runtime_test {

using engine::rgb;
using engine::vec3;

// A quad p0 p1 p2 p3 as two triangles (0 1 2, 0 2 3); pbrt-v4's winding rule gives it the normal
// cross(p0 - p2, p1 - p2).
inline engine::shape quad(const vec3& p0, const vec3& p1, const vec3& p2, const vec3& p3,
                          uint32_t material) {
  engine::shape s;
  s.kind = engine::geometry_kind::triangle_mesh;
  for (const vec3& p : {p0, p1, p2, p3}) {
    s.mesh.positions.push_back({float(p.x), float(p.y), float(p.z)});
  }
  s.mesh.indices = {0, 1, 2, 0, 2, 3};
  s.material = material;
  return s;
}

// A horizontal square at height z, half-width h, whose normal points along +z (or -z).
inline engine::shape square_z(double z, double h, uint32_t material, bool normal_up) {
  if (normal_up) return quad({-h, -h, z}, {h, -h, z}, {h, h, z}, {-h, h, z}, material);
  return quad({-h, -h, z}, {-h, h, z}, {h, h, z}, {h, -h, z}, material);
}

inline engine::shape sphere(const vec3& center, double radius, uint32_t material) {
  engine::shape s;
  s.kind = engine::geometry_kind::sphere;
  s.center = center;
  s.radius = radius;
  s.material = material;
  return s;
}

// `s` as the emitting shape of area light `light`.
inline engine::shape lit(engine::shape s, int32_t light) {
  s.area_light = light;
  return s;
}

// "[r g b]" as a scene file writes a colour, read back to the same floats.
inline std::string pbrt_rgb(const rgb& c) {
  char text[128];
  std::snprintf(text, sizeof text, "[%.9g %.9g %.9g]", c.r, c.g, c.b);
  return text;
}

// A light or a material as `LightSource <text>` or `Material <text>` makes it in a scene file,
// e.g. light_from(R"("point" "rgb I" [1 2 3] "point3 from" [0 0 1])").
inline engine::light_source light_from(const std::string& text) {
  const auto read = qor::scene::parse_scene_string("WorldBegin LightSource " + text, "test.pbrt");
  qor::scene::warning_sink warnings;
  const qor::scene::light_description& l = read.scene.lights.at(0);
  return engine::create_light({l, l.world_from_light, warnings}).value();
}
inline std::shared_ptr<const engine::surface_material> material_from(const std::string& text) {
  const auto read = qor::scene::parse_scene_string("WorldBegin Material " + text, "test.pbrt");
  qor::scene::warning_sink warnings;
  return engine::create_material({read.scene.materials.back(), {}, warnings});
}
inline std::shared_ptr<const engine::surface_material> diffuse(rgb albedo) {
  return material_from("\"diffuse\" \"rgb reflectance\" " + pbrt_rgb(albedo));
}

inline engine::area_light_source emitter(uint32_t shape, rgb radiance, bool two_sided) {
  return {.shape = shape, .radiance = radiance, .two_sided = two_sided, .triangle_scale = {}};
}

// The render-time scene a scene file's text makes.
inline engine::traceable_scene scene_from(const std::string& text) {
  const auto read = qor::scene::parse_scene_string(text, "test.pbrt");
  qor::scene::warning_sink warnings;
  return engine::build_traceable_scene(read.scene, warnings);
}

inline engine::object_instance place(uint32_t object, const engine::affine_transform& t) {
  return {.object = object, .world_from_object = t, .object_from_world = engine::inverse(t)};
}

// A scene of one material (diffuse grey) and a 4 x 4 image; tests add what they need.
inline engine::traceable_scene empty_scene(int width = 4, int height = 4) {
  engine::traceable_scene s;
  s.materials.push_back(diffuse({0.5f, 0.5f, 0.5f}));
  s.film.width = width;
  s.film.height = height;
  return s;
}

inline engine::engine_settings settings(int threads = 2) {
  engine::engine_settings s;
  s.threads = threads;
  return s;
}

// An RGB image file, `format` per channel (the file's name picks its kind), of pixel(x, y) with
// y = 0 the top row.
inline void write_image(const std::string& path, int width, int height, OIIO::TypeDesc format,
                        const std::function<rgb(int x, int y)>& pixel) {
  std::vector<float> values;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const rgb c = pixel(x, y);
      values.insert(values.end(), {c.r, c.g, c.b});
    }
  }
  auto out = OIIO::ImageOutput::create(path);
  ASSERT_TRUE(out && out->open(path, OIIO::ImageSpec(width, height, 3, format))) << path;
  ASSERT_TRUE(out->write_image(OIIO::TypeDesc::FLOAT, values.data()) && out->close()) << path;
}

// Channel by channel (rgb) or axis by axis (vec3).
template <class triple>
void expect_near(const triple& got, const triple& expected, double tolerance) {
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(got[i], expected[i], tolerance) << "component " << i;
}

// Collects messages instead of printing them.
struct message_log {
  std::mutex mutex;
  std::vector<std::pair<engine::message_kind, std::string>> messages;

  engine::host_callbacks callbacks() {
    engine::host_callbacks c;
    c.message = [this](engine::message_kind kind, std::string_view text) {
      std::lock_guard<std::mutex> lock(mutex);
      messages.emplace_back(kind, std::string(text));
    };
    return c;
  }
};

// What a store_photon call saw.
struct stored_photon {
  rgb power;
  uint32_t type = 0, flags = 0;
  vec3 position, shading_normal, geometric_normal, direction, origin;
  double max_distance = 0;
  bool has_parent = false;
  vec3 parent_hit;  // where the segment started, as its parent ray recorded it
  uint32_t parent_type = 0;
};

// An illumination object that records photons and answers shading calls with set values.
class recording_illum : public qorIllum_api {
 public:
  int direct_illumination(float result[3], qorRay&, void*) override {
    std::copy_n(direct, 3, result);
    return 1;
  }
  int indirect_illumination(float result[3], qorRay& ray) override {
    ++indirect_calls;
    float reflectance[3] = {-1, -1, -1};
    qor_call_info_and_sub_shader(&ray, ray.material->shader, qor_shader_reflectance, reflectance);
    last_reflectance = {reflectance[0], reflectance[1], reflectance[2]};
    last_hit = vec3::from(ray.hit_position);
    last_depth = ray.depth;
    last_weight = ray.weight;
    std::copy_n(indirect, 3, result);
    return 1;
  }
  void store_photon(const float power[3], qorRay& ray) override {
    const bool has_parent = ray.parent != nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    photons.push_back({{power[0], power[1], power[2]},
                       ray.type,
                       ray.flags,
                       vec3::from(ray.hit_position),
                       vec3::from(ray.shading_normal),
                       vec3::from(ray.geometric_normal),
                       vec3::from(ray.direction),
                       vec3::from(ray.origin),
                       ray.max_distance,
                       has_parent,
                       has_parent ? vec3::from(ray.parent->hit_position) : vec3{},
                       has_parent ? ray.parent->type : 0u});
  }

  std::mutex mutex;
  std::vector<stored_photon> photons;
  float direct[3] = {0, 0, 0};
  float indirect[3] = {0, 0, 0};
  int indirect_calls = 0;
  rgb last_reflectance;
  vec3 last_hit;
  int32_t last_depth = -1;
  float last_weight = 0;
};

// An engine around `s` on one thread (so calls arrive in order), whose illumination object
// records what the engine hands it; thread 0's context is set up. Test benches build on it.
struct recording_engine {
  explicit recording_engine(const engine::traceable_scene& s,
                            const engine::engine_settings& with = settings(1))
      : engine(s, with, log.callbacks()) {
    qor_install_illum_api(engine.scene(), &illum);
    qor_scene_thread_init(engine.scene(), 0);
  }

  // The light at `index` of the scene's light list.
  qorLight* light(int index) {
    qorLight* l = qor_lights(engine.scene());
    for (int i = 0; i < index && l != nullptr; ++i) l = l->next;
    return l;
  }
  // Emits n photons the way a module's tracer does: the emitter named in the ray's fields, the
  // module's own flag bits set.
  void emit(int n, qorLight* from_light, qorObject* from_object = nullptr) {
    qorRay* ray = qor_get_primary_ray(engine.scene(), 0, qor_ray_photon);
    ray->flags = 0x1100;
    qorShader* shader = from_light ? from_light->material->shader : from_object->material->shader;
    for (int i = 0; i < n; ++i) {
      ray->current_light = from_light;
      ray->emitter_object = ray->origin_object = from_object;
      EXPECT_EQ(qor_call_photon_shader(nullptr, ray, shader), 1);
    }
    ray->delete_ray();
  }

  message_log log;
  engine::render_engine engine;
  recording_illum illum;
};

// A random source that hands out scripted numbers first, then a fixed value.
class scripted_random : public qorRandom {
 public:
  float next_float() override {
    ++draws;
    if (values.empty()) return after;
    const float v = values.front();
    values.pop_front();
    return v;
  }
  void restart() override {}
  void seed(uint32_t) override {}

  std::deque<float> values;
  float after = 0.5f;
  int draws = 0;
};

}  // namespace runtime_test

// The fixture every module test starts from: a fresh fake host and a fresh renderer, arrays for
// driving one stage of a render without the loop, trees that go before the host that holds their
// arrays, a photon pass of scripted hits, and small helpers for whole-value comparisons.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "module/installer.h"
#include "module/photons/photon_records.h"
#include "module/ppm_parameters.h"
#include "module/render/qor_ppm.h"
#include "module/render/sampler.h"
#include "module/tree/ppm_tree.h"
#include "tests/module/fake_host.h"

using floats = std::vector<float>;
using strings = std::vector<std::string>;

inline floats rgb(const float* c) {
  return {c[0], c[1], c[2]};
}
template <typename T>
void set3(T* field, T a, T b, T c) {
  field[0] = a, field[1] = b, field[2] = c;
}

// A point facing +z with white reflectance.
inline measurement_point make_point(float x, float y, float z, float radius) {
  return {.position = {x, y, z}, .radius = radius, .normal = {0, 0, 1}, .reflectance = {1, 1, 1}};
}

// A photon hit as the host reports it to store_photon: where, the surface's normal (shading and
// geometric), the photon's direction, its ray type and its power (in the weight field).
inline qorRay photon_hit(double x, double y, double z, std::array<double, 3> normal = {0, 0, 1},
                         std::array<double, 3> direction = {0, 0, -1},
                         uint32_t type = qor_ray_photon, float power = 1) {
  qorRay ray{.type = type, .weight = power, .hit_position = {x, y, z}};
  for (int a = 0; a < 3; ++a) {
    ray.direction[a] = direction[a];
    ray.shading_normal[a] = ray.geometric_normal[a] = normal[a];
  }
  return ray;
}

class module_test : public ::testing::Test {
 protected:
  void SetUp() override { restart(); }
  void TearDown() override { restart(); }
  // A fresh host and renderer. The module keeps one renderer for the life of the process, so it
  // is rebuilt in place; trees go first, since they hold arrays of the host they were made with.
  void restart() {
    trees.clear();
    qorPPM& r = the_renderer();
    delete r.tree;
    delete r.tree2;
    r.~qorPPM();
    renderer = new (&r) qorPPM();
    reset_host();
  }
  qorScene& scene() { return host().scene(); }
  static ppm_parameters defaults() {
    ppm_parameters block;
    the_installer().default_parameters(host().scene(), &block);
    return block;
  }
  // Configures the renderer as the host does: through the installer.
  void create(ppm_parameters block) { the_installer().create(scene(), &block); }

  ppm_tree& tree_over(std::vector<measurement_point>& points,
                      uint32_t deposit_leaf_points = default_deposit_leaf_points,
                      bool deposit_grid = true) {
    trees.push_back(
        std::make_unique<ppm_tree>(points.data(), static_cast<uint32_t>(points.size())));
    trees.back()->deposit_leaf_points = deposit_leaf_points;
    trees.back()->use_deposit_grid = deposit_grid;
    trees.back()->build();
    trees.back()->set_tls_slot(renderer->tls_slot);
    return *trees.back();
  }

  // Zero-filled per-render arrays of a w x h image, owned by the test, as a render allocates them.
  void use_arrays(int w, int h, int threads = 1) {
    const size_t n = static_cast<size_t>(w) * h;
    points.assign(n, {});
    points2.assign(n, {});
    pixel_points.assign(n, {});
    candidates.assign(threads, {});
    image.assign(qorImage_block::bytes(w, h) / 4, 0.0f);
    auto* block = reinterpret_cast<qorImage_block*>(image.data());
    *block = {0, 0, w, h};
    renderer->framebuffer = block;
    renderer->pixels = block->pixels();
    renderer->points = points.data();
    renderer->points2 = points2.data();
    renderer->pixel_points = pixel_points.data();
    renderer->candidates = candidates.data();
    renderer->max_points = w * h;
    renderer->width = host().options.width = w;
    renderer->height = host().options.height = h;
  }

  // A photon pass over the renderer's points (point_count of `points`, point2_count of
  // `points2`): one thread, one job of `steps` chain steps, an emitter of weight 1 (so at
  // iteration 1 or later a photon's flux is its power), and path k reporting the hits paths(k)
  // gives, in order. The points then hold what the pass gathered.
  void photon_pass(std::function<std::vector<qorRay>(int path)> paths, uint32_t steps = 1) {
    if (renderer->tls_slot == 0) renderer->tls_slot = qor_tls_alloc(scene(), 3096);
    renderer->points = points.data();
    renderer->points2 = points2.data();
    renderer->emitters = {{nullptr, nullptr, &emitter_object, 1, 0, 0, 1, 0}};
    renderer->total_power = renderer->job_count = 1;
    renderer->create_emission_jobs(steps, 0);
    renderer->build_trees(scene(), renderer->iteration);
    int path = 0;
    host().photon_shader = [&](qorRay& ray, qorShader*) {
      for (qorRay hit : paths(path++)) {
        hit.thread = ray.thread;
        const float power[3] = {hit.weight, hit.weight, hit.weight};
        renderer->store_photon(power, hit);
      }
    };
    renderer->trace_photons(scene());
    host().photon_shader = nullptr;
  }

  qorPPM* renderer = nullptr;
  std::vector<std::unique_ptr<ppm_tree>> trees;
  std::vector<measurement_point> points, points2, pixel_points;
  std::vector<candidate_buffer> candidates;
  floats image;  // the framebuffer: header and pixels
  qorObject emitter_object{};
};

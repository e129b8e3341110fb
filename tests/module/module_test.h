// Shared fixture of the module tests: a fresh fake host and a fresh renderer for every test.
#pragma once

#include <gtest/gtest.h>

#include <latch>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "module/installer.h"
#include "module/ppm_parameters.h"
#include "module/render/qor_ppm.h"
#include "module/render/sampler.h"
#include "module/tree/ppm_tree.h"
#include "tests/module/fake_host.h"

// The module keeps one renderer for the life of the process; tests rebuild it in place so that
// no state leaks from one test into the next.
inline qorPPM& fresh_renderer() {
  qorPPM& renderer = the_renderer();
  // A render leaves its trees to the next frame's set-up; a test's renderer releases them here,
  // while the host that allocated their arrays still exists.
  delete renderer.tree;
  delete renderer.tree2;
  renderer.tree = renderer.tree2 = nullptr;
  renderer.~qorPPM();
  return *new (&renderer) qorPPM();
}

inline ppm_parameters default_parameters() {
  ppm_parameters block{};
  the_installer().default_parameters(host().scene(), &block);
  return block;
}

// Short names for the expected values of whole-vector comparisons.
using floats = std::vector<float>;
using strings = std::vector<std::string>;

// The three channels of a colour field, for whole-value comparisons, and setting them.
inline floats rgb(const float* c) {
  return {c[0], c[1], c[2]};
}
template <typename T>
void set3(T* field, T a, T b, T c) {
  field[0] = a;
  field[1] = b;
  field[2] = c;
}

// A point facing +z with white reflectance.
inline measurement_point make_point(float x, float y, float z, float radius) {
  measurement_point p{};
  set3(p.position, x, y, z);
  p.radius = radius;
  p.normal[2] = 1.0f;
  set3(p.reflectance, 1.0f, 1.0f, 1.0f);
  return p;
}

// Runs body(t) on n threads at once. They meet at a latch first, so that their work overlaps
// (ThreadSanitizer sees the accesses as concurrent) however the threads happen to be started.
template <typename Body>
void run_together(int n, Body body) {
  std::latch all_started(n);
  std::vector<std::thread> workers;
  for (int t = 0; t < n; ++t) {
    workers.emplace_back([&all_started, &body, t] {
      all_started.arrive_and_wait();
      body(t);
    });
  }
  for (std::thread& w : workers) w.join();
}

// A ray of the fake host, owned by the test.
using ray_ptr = std::unique_ptr<fake_ray>;

class module_test : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_host();
    renderer = &fresh_renderer();
  }
  void TearDown() override {
    fresh_renderer();
    reset_host();
  }

  qorScene& scene() { return host().scene(); }

  // A fresh host and renderer in the middle of a test.
  void start_over() {
    renderer = &fresh_renderer();
    reset_host();
  }

  // Configures the renderer the way the host does: through the installer's create.
  qorPPM& create(const ppm_parameters& block) {
    the_installer().create(scene(), const_cast<ppm_parameters*>(&block));
    return *renderer;
  }

  qorPPM* renderer = nullptr;
};

// Shared fixture of the point tree tests: points made by hand, trees over them, and the release of
// every tree before the fake host that holds their arrays goes away.
#pragma once

#include <memory>
#include <vector>

#include "tests/module/module_test.h"
#include "tree/ppm_tree.h"

inline measurement_point make_point(float x, float y, float z, float radius) {
  measurement_point p{};
  p.position[0] = x;
  p.position[1] = y;
  p.position[2] = z;
  p.radius = radius;
  p.normal[2] = 1.0f;
  p.reflectance[0] = p.reflectance[1] = p.reflectance[2] = 1.0f;
  return p;
}

inline std::vector<float> rgb(const float* c) {
  return {c[0], c[1], c[2]};
}

class point_tree_test : public module_test {
 protected:
  void TearDown() override {
    release_trees();
    module_test::TearDown();
  }

  // Trees hold arrays of the host they were made with, so they go before it does.
  void release_trees() {
    trees.clear();
    delete renderer->tree;
    delete renderer->tree2;
    renderer->tree = renderer->tree2 = nullptr;
  }
  void start_over() {
    release_trees();
    module_test::start_over();
  }

  ppm_tree& build(std::vector<measurement_point>& points) {
    trees.push_back(
        std::make_unique<ppm_tree>(points.data(), static_cast<uint32_t>(points.size())));
    trees.back()->build();
    return *trees.back();
  }

  std::vector<std::unique_ptr<ppm_tree>> trees;
};

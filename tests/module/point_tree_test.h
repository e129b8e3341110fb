// Shared fixture of the point tree tests: points made by hand, trees over them, and the release of
// every tree before the fake host that holds their arrays goes away.
#pragma once

#include <memory>
#include <vector>

#include "module/tree/ppm_tree.h"
#include "tests/module/module_test.h"

class point_tree_test : public module_test {
 protected:
  void TearDown() override {
    release_trees();
    module_test::TearDown();
  }

  // Trees hold arrays of the host they were made with, so they go before it does (the base
  // fixture does the same for the renderer's own trees).
  void release_trees() { trees.clear(); }
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

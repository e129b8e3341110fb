// The engine with the real module: ppm.so loaded with dlopen, as qor-render loads it.
#include <cstring>

#include "tests/engine/runtime_test_support.h"

using namespace runtime_test;

namespace {

engine::traceable_scene lit_floor() {
  return scene_from(R"(LookAt 0 1 3  0 0 0  0 1 0
Camera "perspective"
Film "rgb" "integer xresolution" 8 "integer yresolution" 6
WorldBegin
LightSource "point" "rgb I" [5 5 5] "point3 from" [0 2 0]
Shape "trianglemesh" "point3 P" [-2 0 -2  -2 0 2  2 0 2  2 0 -2] "integer indices" [0 1 2  0 2 3]
)");
}

// Parameter block fields the test sets, at their byte offsets in the module's 72-byte block.
constexpr size_t max_iterations_offset = 52;
constexpr size_t photons_per_pass_offset = 56;

}  // namespace

TEST(module_loading, the_real_module_loads_registers_and_renders_a_frame) {
  const size_t held_before = engine::current_memory_usage().current_bytes;
  {
    message_log log;
    engine::host_callbacks callbacks = log.callbacks();
    int delivered = 0;
    callbacks.output_block = [&](const qorImage_block&) { ++delivered; };
    engine::render_engine engine(lit_floor(), settings(2), callbacks);
    qorInstaller& installer = engine.load_module(QOR_PPM_PATH);
    ASSERT_EQ(installer.parameter_size(), 72);

    std::vector<char> block(72, '\x5a');
    ASSERT_EQ(installer.default_parameters(engine.scene(), block.data()), block.data());
    const int32_t iterations = 2, photons = 2000;
    std::memcpy(block.data() + max_iterations_offset, &iterations, 4);
    std::memcpy(block.data() + photons_per_pass_offset, &photons, 4);
    installer.create(engine.scene(), block.data());

    // Registered under both names (the lookups are the host functions' tests).
    EXPECT_EQ(engine.render_frame("ppm"), 0);
    EXPECT_EQ(delivered, 1);
    EXPECT_TRUE(log.contains("Using 2 threads\n"));
    EXPECT_TRUE(log.contains("[2] Elapsed time"));
    // A second frame in the same engine gets its per-thread storage afresh.
    EXPECT_EQ(engine.render_frame("asppm"), 0);
    EXPECT_EQ(delivered, 2);
    EXPECT_GT(engine::current_memory_usage().current_bytes, held_before);  // the last framebuffer
  }
  // Once the engine and its module are gone, what the module still held is taken back.
  EXPECT_EQ(engine::current_memory_usage().current_bytes, held_before);
}

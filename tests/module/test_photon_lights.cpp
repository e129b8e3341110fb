#include <thread>

#include "tests/module/module_test.h"

namespace {

// store_photon at a photon's hit after a diffuse bounce, with photon lights on. No point tree
// exists here, so only the photon lights are observed.
class photon_light_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    renderer->light_irradiance = true;
    renderer->tls_slot = qor_tls_alloc(scene(), photon_path_storage_bytes);
    renderer->photon_light_warn = 1;
    bounce.shading_normal[0] = 0.6;
    bounce.shading_normal[2] = 0.8;
    photon = make_ray(0, qor_ray_photon_diffuse);
    photon->parent = &bounce;
    photon->origin[0] = 1.5;
    photon->origin[1] = -2.25;
    photon->origin[2] = 3.0;
    photon->max_distance = 0.5;
    buffer().record_lights = 1;
    buffer().inv_emitter_photons = 1.0f / 3.0f;
  }
  void TearDown() override {
    delete photon;
    module_test::TearDown();
  }

  photon_path_buffer& buffer() { return path_buffer_at(*photon, renderer->tls_slot); }

  void store(float r = 1.0f, float g = 1.0f, float b = 1.0f) {
    const float power[3] = {r, g, b};
    renderer->store_photon(power, *photon);
  }

  fake_ray bounce{};
  fake_ray* photon = nullptr;
};

TEST_F(photon_light_test, a_uniform_path_leaves_a_light_where_it_bounced) {
  store(1.0f, 2.0f, 4.0f);
  ASSERT_EQ(renderer->photon_lights.size(), 1u);
  const photon_light& light = renderer->photon_lights[0];
  // The light's power is the photon's share of its emitter over pi, scaled in double precision,
  // and not faded by the distance to the hit.
  const float scale = static_cast<float>(static_cast<double>(1.0f / 3.0f) * 0.3183098861837907);
  ASSERT_NE(scale, (1.0f / 3.0f) * 0.31830987f);  // the float product would differ
  EXPECT_EQ(light.power[0], scale);
  EXPECT_EQ(light.power[1], 2.0f * scale);
  EXPECT_EQ(light.power[2], 4.0f * scale);
  EXPECT_EQ(light.normal[0], 0.6f);
  EXPECT_EQ(light.normal[1], 0.0f);
  EXPECT_EQ(light.normal[2], 0.8f);
  EXPECT_EQ(light.position[0], 1.5f);
  EXPECT_EQ(light.position[1], -2.25f);
  EXPECT_EQ(light.position[2], 3.0f);
}

TEST_F(photon_light_test, lights_come_only_from_diffuse_bounces_of_uniform_paths) {
  buffer().record_lights = 0;
  store();
  EXPECT_TRUE(renderer->photon_lights.empty());

  buffer().record_lights = 1;
  for (uint32_t type : {qor_ray_photon, qor_ray_photon_specular}) {
    photon->type = type;
    store();
  }
  EXPECT_TRUE(renderer->photon_lights.empty());

  photon->type = qor_ray_photon_diffuse;
  renderer->light_irradiance = false;
  store();
  EXPECT_TRUE(renderer->photon_lights.empty());

  // A bounce farther than distance 1 from the hit still leaves its light.
  renderer->light_irradiance = true;
  photon->max_distance = 7.0;
  store();
  EXPECT_EQ(renderer->photon_lights.size(), 1u);
}

TEST_F(photon_light_test, a_full_list_refuses_lights_with_one_warning_per_pass) {
  renderer->photon_lights.resize(1000000);
  store();  // the 1,000,001st light is still taken
  EXPECT_EQ(renderer->photon_lights.size(), 1000001u);
  EXPECT_TRUE(host().texts("warning").empty());

  store();
  store();
  EXPECT_EQ(renderer->photon_lights.size(), 1000001u);
  EXPECT_EQ(host().texts("warning"), (std::vector<std::string>{"Too many photon lights\n"}));
  EXPECT_EQ(renderer->photon_light_warn, 0);

  // A path that would not record a light still finds the list full and warns in a new pass.
  renderer->photon_light_warn = 1;
  buffer().record_lights = 0;
  store();
  EXPECT_EQ(host().texts("warning").size(), 2u);
}

TEST_F(photon_light_test, concurrent_threads_append_every_light) {
  constexpr int threads = 4;
  constexpr int lights_per_thread = 2000;
  std::vector<fake_ray*> rays;
  for (int t = 0; t < threads; ++t) {
    fake_ray* ray = make_ray(t, qor_ray_photon_diffuse);
    ray->parent = &bounce;
    ray->max_distance = 2.0;  // no deposit after the light
    ray->origin[0] = t;
    path_buffer_at(*ray, renderer->tls_slot).record_lights = 1;
    rays.push_back(ray);
  }
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([this, ray = rays[t]] {
      const float power[3] = {1.0f, 1.0f, 1.0f};
      for (int i = 0; i < lights_per_thread; ++i) renderer->store_photon(power, *ray);
    });
  }
  for (std::thread& w : workers) w.join();
  for (fake_ray* ray : rays) delete ray;

  ASSERT_EQ(renderer->photon_lights.size(), size_t{threads} * lights_per_thread);
  std::vector<int> per_thread(threads, 0);
  for (const photon_light& light : renderer->photon_lights) {
    per_thread.at(static_cast<int>(light.position[0])) += 1;
  }
  EXPECT_EQ(per_thread, std::vector<int>(threads, lights_per_thread));
}

}  // namespace

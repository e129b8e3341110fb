#include <cmath>
#include <functional>

#include "module/photons/adaptive_sampler.h"
#include "tests/module/photon_scene.h"
#include "tests/module/point_tree_test.h"

namespace {

// A photon falling straight down onto the main set's one point at the origin (radius 1, facing
// +z), on its first segment, with photon weight 1.
class photon_deposit_test : public point_tree_test {
 protected:
  void SetUp() override {
    point_tree_test::SetUp();
    renderer->tls_slot = qor_tls_alloc(scene(), photon_path_storage_bytes);
    renderer->tree = &tree_over(main_points);
    photon.reset(make_ray(0, qor_ray_photon));
    photon->direction[2] = -1.0;
    photon->shading_normal[2] = photon->geometric_normal[2] = 1.0;
    photon->max_distance = 0.5;
    photon->parent = &bounce;
    bounce.shading_normal[0] = 0.6;
    bounce.shading_normal[2] = 0.8;
    buffer().photon_weight = 1.0f;
    buffer().flush_pending = 1;
  }
  void TearDown() override {
    renderer->tree = renderer->tree2 = nullptr;  // ours, released with the others
    point_tree_test::TearDown();
  }

  ppm_tree& tree_over(std::vector<measurement_point>& points) {
    ppm_tree& tree = build(points);
    tree.set_tls_slot(renderer->tls_slot);
    return tree;
  }
  photon_path_buffer& buffer() { return path_buffer_at(*photon, renderer->tls_slot); }
  const measurement_point& point() const { return main_points[0]; }

  // Hits at x = 0 reach the point at the origin; hits at x = 5 reach nothing.
  void aim_at(double x) { photon->hit_position[0] = x; }
  void deposit(float power = 1.0f) {
    const float p[3] = {power, power, power};
    renderer->deposit_photon(*renderer->tree, p, *photon);
  }
  void store(float r = 1.0f, float g = 1.0f, float b = 1.0f) {
    const float power[3] = {r, g, b};
    renderer->store_photon(power, *photon);
  }

  std::vector<measurement_point> main_points{make_point(0, 0, 0, 1)};
  std::vector<measurement_point> second_points{make_point(0, 0, 0, 1)};
  ray_ptr photon;
  qorRay bounce{};
};

// --- Deposit and the path buffer --------------------------------------------------------------

TEST_F(photon_deposit_test, the_first_visible_hit_of_a_path_flushes_the_previous_path) {
  deposit(2.0f);  // the previous path's hit, buffered with its flux
  buffer().reuse_count = 2;
  buffer().flush_pending = 1;  // a new path begins
  buffer().path_deposits = 0;
  aim_at(5.0);
  deposit(7.0f);  // reaches nothing: the previous path stays current
  EXPECT_TRUE(buffer().flush_pending == 1 && buffer().reuse_count == 2);
  EXPECT_TRUE(buffer().hit_count == 1 && buffer().path_deposits == 0);

  // The flush deposits each buffered hit once, as one photon with the reuse count in its flux.
  aim_at(0.0);
  deposit(5.0f);
  EXPECT_TRUE(buffer().flush_pending == 0 && buffer().reuse_count == 0);
  ASSERT_EQ(buffer().hit_count, 1u);
  EXPECT_TRUE(buffer().hits[0].flux[0] == 5.0f && buffer().path_deposits == 1);
  EXPECT_EQ(rgb(point().pass_flux), floats(3, 2.0f + 2.0f * 2.0f + 5.0f));
  EXPECT_EQ(point().pass_photons, 3);
  renderer->flush_path_buffer(*renderer->tree, *photon);  // without reuses: only emptied
  EXPECT_TRUE(buffer().hit_count == 0 && point().pass_photons == 3);

  // A tree without points takes no deposit and leaves the buffer alone.
  deposit();
  buffer().reuse_count = 4;
  std::vector<measurement_point> none;
  ppm_tree& empty = tree_over(none);
  const float p[3] = {1.0f, 1.0f, 1.0f};
  renderer->deposit_photon(empty, p, *photon);
  renderer->flush_path_buffer(empty, *photon);
  EXPECT_TRUE(buffer().hit_count == 1 && buffer().reuse_count == 4 && buffer().path_deposits == 2);
}

TEST_F(photon_deposit_test, the_sixty_fifth_visible_hit_is_deposited_but_not_buffered) {
  for (int i = 0; i < 65; ++i) {
    photon->hit_position[1] = 0.001 * i;
    deposit();
  }
  EXPECT_EQ(point().pass_photons, 65);
  EXPECT_TRUE(buffer().hit_count == 64 && buffer().path_deposits == 65);
  EXPECT_FLOAT_EQ(buffer().hits[63].position[1], 0.063f);
  EXPECT_EQ(host().texts("warning"), strings{"Max photons per path reached 64\n"});
  aim_at(5.0);
  deposit();  // with the buffer full, even a hit that reaches nothing warns
  EXPECT_EQ(host().texts("warning").size(), 2u);
}

TEST_F(photon_deposit_test, shading_normals_and_the_photon_weight_scale_the_flux_in_float) {
  // The photon arrives along the geometric normal; the shading normal is tilted by 60 degrees.
  photon->shading_normal[0] = 0.8660254037844386;
  photon->shading_normal[2] = 0.5;
  buffer().photon_weight = 0.7f;
  deposit(2.0f);
  const float expected = 2.0f * ((0.5f + 0.01f) / (1.0f + 0.01f) * 0.7f);
  ASSERT_NE(expected, static_cast<float>(2.0 * (0.51 / 1.01 * 0.7)));
  EXPECT_EQ(point().pass_flux[0], expected);
  const buffered_hit& hit = buffer().hits[0];
  EXPECT_EQ(hit.flux[0], expected);
  EXPECT_TRUE(hit.normal[0] == static_cast<float>(0.8660254037844386) && hit.direction[2] == -1);

  // Weightless photons (the first iteration's first visible path) still count as photons.
  buffer().photon_weight = 0.0f;
  deposit(3.0f);
  EXPECT_EQ(point().pass_flux[0], expected);
  EXPECT_TRUE(point().pass_photons == 2 && buffer().path_deposits == 2);
}

// --- Routing into the point sets ----------------------------------------------------------------

TEST_F(photon_deposit_test, photons_reach_the_point_sets_by_kind_of_hit) {
  renderer->tree2 = &tree_over(second_points);
  const struct {
    uint32_t type, flags;
    int direct, indirect, caustic, point_mode, iteration;
    float main, second;
  } cases[] = {
      {qor_ray_photon, 0, 0, 1, 1, 0, 0, 0, 0},  // a first segment needs direct photons
      {qor_ray_photon, 0, 1, 0, 0, 0, 0, 1, 0},
      {qor_ray_photon_diffuse, 0, 0, 1, 0, 0, 0, 1, 0},      // bounced
      {qor_ray_photon_diffuse, 0x800, 0, 1, 0, 0, 0, 0, 0},  // caustic, caustics off
      {qor_ray_photon_diffuse, 0x800, 0, 0, 1, 0, 0, 1, 0},
      {qor_ray_photon_specular, 0x800, 1, 1, 1, 1, 0, 0, 1},  // with a second set: there only
      {qor_ray_photon_specular, 0, 0, 1, 0, 1, 0, 1, 1},      // other hits reach both sets
      {qor_ray_photon, 0, 0, 1, 1, 1, 0, 0, 1},
      {qor_ray_photon, 0, 0, 0, 0, 2, 2, 0, 1},  // a kept set gathers to its last iteration
      {qor_ray_photon, 0, 0, 0, 0, 2, 3, 0, 0},
  };
  for (const auto& c : cases) {
    for (measurement_point* p : {&main_points[0], &second_points[0]}) *p = make_point(0, 0, 0, 1);
    photon->type = c.type;
    photon->flags = c.flags;
    renderer->direct_photons = c.direct;
    renderer->indirect_photons = c.indirect;
    renderer->caustic_photons = c.caustic;
    renderer->point_mode = c.point_mode;
    renderer->iteration = c.iteration;
    renderer->point2_last_iteration = 2;
    store();
    EXPECT_EQ((floats{main_points[0].pass_flux[0], second_points[0].pass_flux[0],
                      float(main_points[0].pass_photons), float(second_points[0].pass_photons)}),
              (floats{c.main, c.second, c.main, c.second}))
        << "type " << c.type << " flags " << c.flags << " mode " << c.point_mode;
  }
}

TEST_F(photon_deposit_test, photon_light_mode_fades_bounced_photons_over_unit_distance) {
  renderer->light_irradiance = true;
  renderer->indirect_photons = 1;
  photon->type = qor_ray_photon_diffuse;
  const double distances[5] = {0.5, 1.0, 1.0001, NAN, 3.0};
  const float flux[5] = {0.75f, 0.75f, 0.75f, 0.75f, 1.75f};
  const int photons[5] = {1, 2, 2, 2, 3};  // a weight of zero at 1 is still a photon
  for (int k = 0; k < 5; ++k) {
    if (k == 4) photon->type = qor_ray_photon_specular;  // others keep their power
    photon->max_distance = distances[k];
    store();
    EXPECT_TRUE(point().pass_flux[0] == flux[k] && point().pass_photons == photons[k]) << k;
  }
}

// --- Photon lights
// --------------------------------------------------------------------------------

TEST_F(photon_deposit_test, a_uniform_path_leaves_a_light_where_it_bounced) {
  renderer->light_irradiance = true;
  photon->type = qor_ray_photon_diffuse;
  const double origin[3] = {1.5, -2.25, 3.0};
  std::copy(origin, origin + 3, photon->origin);
  buffer().record_lights = 1;
  buffer().inv_emitter_photons = 1.0f / 3.0f;
  store(1.0f, 2.0f, 4.0f);
  ASSERT_EQ(renderer->photon_lights.size(), 1u);
  const photon_light& light = renderer->photon_lights[0];
  // The photon's share of its emitter over pi, scaled in double, and not faded.
  const float scale = static_cast<float>(static_cast<double>(1.0f / 3.0f) * 0.3183098861837907);
  ASSERT_NE(scale, (1.0f / 3.0f) * 0.31830987f);
  EXPECT_EQ(rgb(light.power), (floats{scale, 2.0f * scale, 4.0f * scale}));
  EXPECT_EQ(rgb(light.normal), (floats{0.6f, 0.0f, 0.8f}));  // the bounce's
  EXPECT_EQ(rgb(light.position), (floats{1.5f, -2.25f, 3.0f}));

  // Only uniform paths, diffuse bounces and photon light mode make lights, near or far.
  buffer().record_lights = 0;
  store();
  buffer().record_lights = 1;
  for (uint32_t type : {qor_ray_photon, qor_ray_photon_specular}) {
    photon->type = type;
    store();
  }
  photon->type = qor_ray_photon_diffuse;
  renderer->light_irradiance = false;
  store();
  EXPECT_EQ(renderer->photon_lights.size(), 1u);
  renderer->light_irradiance = true;
  photon->max_distance = 7.0;
  store();
  EXPECT_EQ(renderer->photon_lights.size(), 2u);
}

TEST_F(photon_deposit_test, a_full_list_refuses_lights_with_one_warning_per_pass) {
  renderer->light_irradiance = true;
  renderer->photon_light_warn = 1;
  photon->type = qor_ray_photon_diffuse;
  buffer().record_lights = 1;
  renderer->photon_lights.resize(1000000);
  store();  // the 1,000,001st light is still taken
  EXPECT_EQ(renderer->photon_lights.size(), 1000001u);
  EXPECT_TRUE(host().texts("warning").empty());
  store();
  store();
  EXPECT_EQ(renderer->photon_lights.size(), 1000001u);
  EXPECT_EQ(host().texts("warning"), strings{"Too many photon lights\n"});
  EXPECT_EQ(renderer->photon_light_warn, 0);

  // A path that would not record a light still finds the list full and warns in a new pass.
  renderer->photon_light_warn = 1;
  buffer().record_lights = 0;
  store();
  EXPECT_EQ(host().texts("warning").size(), 2u);
}

TEST_F(photon_deposit_test, concurrent_threads_append_every_light) {
  renderer->light_irradiance = true;
  constexpr int threads = 4, lights_per_thread = 20000;
  std::vector<ray_ptr> rays;
  for (int t = 0; t < threads; ++t) {
    rays.emplace_back(make_ray(t, qor_ray_photon_diffuse));
    rays.back()->parent = &bounce;
    rays.back()->max_distance = 2.0;  // no deposit after the light
    rays.back()->origin[0] = t;
    path_buffer_at(*rays.back(), renderer->tls_slot).record_lights = 1;
  }
  run_together(threads, [this, &rays](int t) {
    const float power[3] = {1.0f, 1.0f, 1.0f};
    for (int i = 0; i < lights_per_thread; ++i) renderer->store_photon(power, *rays[t]);
  });
  std::vector<int> per_thread(threads, 0);
  for (const photon_light& light : renderer->photon_lights) {
    per_thread.at(static_cast<int>(light.position[0])) += 1;
  }
  EXPECT_EQ(per_thread, std::vector<int>(threads, lights_per_thread));
}

// --- The worker and the whole pass
// ----------------------------------------------------------------

class photon_pass_test : public photon_deposit_test {
 protected:
  void SetUp() override {
    photon_deposit_test::SetUp();
    renderer->direct_photons = 1;
    renderer->iteration = 1;  // the emitter's weight (1) is the photon weight
    renderer->job_count = 1;
    set_emitters(*renderer, {object_emitter(1.0f)});
  }

  // A photon shader whose path hits the origin when visible() says so.
  void script_paths(std::function<bool(qorRandom&)> visible) {
    host().photon_shader = [this, visible](const float*, fake_ray& ray, qorShader*) {
      const bool hit = visible(*ray.thread->random);
      ray.type = qor_ray_photon;
      ray.hit_position[0] = hit ? 0.0 : 5.0;
      ray.direction[2] = -1.0;
      ray.shading_normal[2] = ray.geometric_normal[2] = 1.0;
      const float power[3] = {1.0f, 1.0f, 1.0f};
      renderer->store_photon(power, ray);
      return 1;
    };
  }
};

TEST_F(photon_pass_test, the_last_current_path_reaches_both_point_sets_even_when_stopped) {
  renderer->tree2 = &tree_over(second_points);
  renderer->point_mode = 1;
  for (int stop : {0, 1}) {
    host().stop = stop;
    renderer->create_emission_jobs(5, 0);
    int paths = 0;
    script_paths([&paths](qorRandom&) { return paths++ == 0; });  // only the first is visible
    for (measurement_point* p : {&main_points[0], &second_points[0]}) *p = make_point(0, 0, 0, 1);
    trace_emission_jobs(*renderer, scene(), 0, 0, 1);

    // The visible path's hit was buffered once per set and then reused four times: each set
    // takes its fresh deposit and, at the end, both buffered hits with flux 4.
    EXPECT_EQ(renderer->emission_jobs[0].mutations_rejected, stop ? 0u : 4u);  // stopped: unset
    for (const measurement_point& p : {main_points[0], second_points[0]}) {
      EXPECT_TRUE(p.pass_flux[0] == 1.0f + 2.0f * 4.0f && p.pass_photons == 3) << stop;
    }
    EXPECT_TRUE(buffer().hit_count == 0 && buffer().reuse_count == 0);
  }
}

TEST_F(photon_pass_test, on_many_threads_every_accepted_path_and_every_reuse_arrives_once) {
  host().threads = 4;
  renderer->job_count = 100;
  renderer->create_emission_jobs(40, 0);
  // Paths whose first sample number falls below 0.3 are visible, so mutations of the emission
  // direction are accepted now and then.
  script_paths([](qorRandom& random) { return random.next_float() < 0.3f; });
  renderer->trace_photons(scene());

  uint32_t fresh = 0, reused = 0, stored = 0;
  for (const emission_job& job : renderer->emission_jobs) {
    fresh += job.uniform_accepted + job.mutations_accepted;
    reused += job.mutations_rejected;
    stored += job.photons_stored;
    EXPECT_GE(job.paths_traced, 40u);
  }
  EXPECT_TRUE(fresh > 0 && reused > 0);
  EXPECT_EQ(stored, fresh);  // one point per visible path
  EXPECT_EQ(point().pass_flux[0], static_cast<float>(fresh + reused));
}

}  // namespace

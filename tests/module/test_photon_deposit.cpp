#include <cmath>
#include <functional>
#include <memory>

#include "photons/adaptive_sampler.h"
#include "tests/module/module_test.h"
#include "tests/module/photon_scene.h"
#include "tree/ppm_tree.h"

namespace {

// A point facing +z with unit radius and white reflectance.
measurement_point point_at(float x, float y, float z) {
  measurement_point p{};
  p.position[0] = x;
  p.position[1] = y;
  p.position[2] = z;
  p.radius = 1.0f;
  p.normal[2] = 1.0f;
  for (float& r : p.reflectance) r = 1.0f;
  return p;
}

// A point set and the tree over it, built as a pass builds it.
struct point_set {
  std::vector<measurement_point> points;
  std::unique_ptr<ppm_tree> tree;

  point_set(std::vector<measurement_point> set_points, int32_t tls_slot)
      : points(std::move(set_points)),
        tree(std::make_unique<ppm_tree>(points.data(), static_cast<uint32_t>(points.size()))) {
    tree->build();
    tree->set_tls_slot(tls_slot);
  }

  const measurement_point& point(size_t i = 0) const { return points.at(i); }
};

class photon_deposit_test : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    renderer->tls_slot = qor_tls_alloc(scene(), photon_path_storage_bytes);
    main_points = std::make_unique<point_set>(std::vector<measurement_point>{point_at(0, 0, 0)},
                                              renderer->tls_slot);
    renderer->tree = main_points->tree.get();
    photon = make_ray(0, qor_ray_photon);
    aim_at(0.0);
    photon->direction[2] = -1.0;
    photon->shading_normal[2] = 1.0;
    photon->geometric_normal[2] = 1.0;
    buffer().photon_weight = 1.0f;
    buffer().flush_pending = 1;
  }
  void TearDown() override {
    delete photon;
    // The trees hold arrays of the host, so they go before it does.
    renderer->tree = nullptr;
    renderer->tree2 = nullptr;
    main_points.reset();
    second_points.reset();
    module_test::TearDown();
  }

  photon_path_buffer& buffer() { return path_buffer_at(*photon, renderer->tls_slot); }

  // Hits at x = 0 reach the point at the origin; hits at x = 5 reach nothing.
  void aim_at(double x) {
    photon->hit_position[0] = x;
    photon->max_distance = 0.5;
  }

  void deposit(float power = 1.0f) {
    const float p[3] = {power, power, power};
    renderer->deposit_photon(*renderer->tree, p, *photon);
  }

  void store(float power = 1.0f) {
    const float p[3] = {power, power, power};
    renderer->store_photon(p, *photon);
  }

  void add_second_point_set() {
    second_points = std::make_unique<point_set>(std::vector<measurement_point>{point_at(0, 0, 0)},
                                                renderer->tls_slot);
    renderer->tree2 = second_points->tree.get();
  }

  std::unique_ptr<point_set> main_points;
  std::unique_ptr<point_set> second_points;
  fake_ray* photon = nullptr;
};

// --- Deposit and the path buffer --------------------------------------------------------------

TEST_F(photon_deposit_test, a_flush_deposits_each_buffered_hit_once_with_the_reuse_count_as_flux) {
  deposit();  // buffers the hit (flux 1)
  ASSERT_EQ(buffer().hit_count, 1u);
  buffer().reuse_count = 3;
  buffer().path_deposits = 0;
  renderer->flush_path_buffer(*renderer->tree, *photon);

  const measurement_point& p = main_points->point();
  EXPECT_EQ(p.pass_flux[0], 1.0f + 3.0f);
  EXPECT_EQ(p.pass_flux[2], 1.0f + 3.0f);
  EXPECT_EQ(p.pass_photons, 2);  // one for the hit, one for its whole flush
  EXPECT_EQ(buffer().reuse_count, 0u);
  EXPECT_EQ(buffer().hit_count, 0u);
  EXPECT_EQ(buffer().path_deposits, 0u);

  // Without reuses the flush only empties the buffer.
  deposit();
  renderer->flush_path_buffer(*renderer->tree, *photon);
  EXPECT_EQ(buffer().hit_count, 0u);
  EXPECT_EQ(p.pass_photons, 3);
}

TEST_F(photon_deposit_test, the_first_visible_hit_of_a_path_settles_the_previous_path_first) {
  deposit(2.0f);  // the previous path's hit
  buffer().reuse_count = 2;
  buffer().flush_pending = 1;  // a new path begins
  buffer().path_deposits = 0;

  aim_at(5.0);
  deposit(7.0f);  // reaches nothing: the previous path stays current
  EXPECT_EQ(buffer().flush_pending, 1);
  EXPECT_EQ(buffer().reuse_count, 2u);
  EXPECT_EQ(buffer().hit_count, 1u);
  EXPECT_EQ(buffer().path_deposits, 0u);

  aim_at(0.0);
  deposit(5.0f);
  EXPECT_EQ(buffer().flush_pending, 0);
  EXPECT_EQ(buffer().reuse_count, 0u);
  ASSERT_EQ(buffer().hit_count, 1u);
  EXPECT_EQ(buffer().hits[0].flux[0], 5.0f);
  EXPECT_EQ(buffer().path_deposits, 1u);
  EXPECT_EQ(main_points->point().pass_flux[1], 2.0f + 2.0f * 2.0f + 5.0f);
  EXPECT_EQ(main_points->point().pass_photons, 3);
}

TEST_F(photon_deposit_test, the_sixty_fifth_visible_hit_is_deposited_but_not_buffered) {
  for (int i = 0; i < 65; ++i) {
    photon->hit_position[1] = 0.001 * i;
    deposit();
  }
  EXPECT_EQ(main_points->point().pass_photons, 65);
  EXPECT_EQ(buffer().hit_count, 64u);
  EXPECT_EQ(buffer().path_deposits, 65u);
  EXPECT_FLOAT_EQ(buffer().hits[63].position[1], 0.063f);
  EXPECT_EQ(host().texts("warning"),
            (std::vector<std::string>{"Max photons per path reached 64\n"}));

  // With the buffer full, even a hit that reaches nothing warns.
  aim_at(5.0);
  deposit();
  EXPECT_EQ(host().texts("warning").size(), 2u);
}

TEST_F(photon_deposit_test, shading_normals_and_the_photon_weight_scale_the_flux_in_float) {
  // The photon arrives along the geometric normal; the shading normal is tilted by 60 degrees.
  photon->shading_normal[0] = 0.8660254037844386;
  photon->shading_normal[2] = 0.5;
  buffer().photon_weight = 0.7f;
  deposit(2.0f);
  const float correction = (0.5f + 0.01f) / (1.0f + 0.01f);
  const float expected = 2.0f * (correction * 0.7f);
  ASSERT_NE(expected, static_cast<float>(2.0 * (0.51 / 1.01 * 0.7)));
  EXPECT_EQ(main_points->point().pass_flux[0], expected);
  EXPECT_EQ(buffer().hits[0].flux[0], expected);
  EXPECT_EQ(buffer().hits[0].normal[0], static_cast<float>(0.8660254037844386));
  EXPECT_EQ(buffer().hits[0].direction[2], -1.0f);

  // Weightless photons (the first iteration's first visible path) still count as photons.
  buffer().photon_weight = 0.0f;
  deposit(3.0f);
  EXPECT_EQ(main_points->point().pass_flux[0], expected);
  EXPECT_EQ(main_points->point().pass_photons, 2);
  EXPECT_EQ(buffer().path_deposits, 2u);
}

TEST_F(photon_deposit_test, a_tree_without_points_takes_no_deposit_and_keeps_the_buffer) {
  deposit();
  buffer().reuse_count = 4;
  ppm_tree empty(nullptr, 0);
  empty.set_tls_slot(renderer->tls_slot);
  const float p[3] = {1.0f, 1.0f, 1.0f};
  renderer->deposit_photon(empty, p, *photon);
  renderer->flush_path_buffer(empty, *photon);
  EXPECT_EQ(buffer().hit_count, 1u);
  EXPECT_EQ(buffer().reuse_count, 4u);
  EXPECT_EQ(buffer().path_deposits, 1u);
}

// --- Routing into the point sets
// ------------------------------------------------------------------

TEST_F(photon_deposit_test, first_hits_reach_the_main_points_only_with_direct_photons) {
  store();
  EXPECT_EQ(main_points->point().pass_photons, 0);
  renderer->direct_photons = 1;
  store();
  EXPECT_EQ(main_points->point().pass_photons, 1);
}

TEST_F(photon_deposit_test, bounced_hits_go_by_their_caustic_flag) {
  photon->type = qor_ray_photon_diffuse;
  renderer->indirect_photons = 1;
  store();
  EXPECT_EQ(main_points->point().pass_photons, 1);

  photon->flags = qor_flag_caustic;
  store();
  EXPECT_EQ(main_points->point().pass_photons, 1);  // caustics are off
  renderer->caustic_photons = 1;
  store();
  EXPECT_EQ(main_points->point().pass_photons, 2);
}

TEST_F(photon_deposit_test, with_a_second_point_set_caustics_go_there_only) {
  add_second_point_set();
  renderer->point_mode = 1;
  renderer->caustic_photons = 1;
  renderer->indirect_photons = 1;
  photon->type = qor_ray_photon_specular;
  photon->flags = qor_flag_caustic;
  store();
  EXPECT_EQ(main_points->point().pass_photons, 0);
  EXPECT_EQ(second_points->point().pass_photons, 1);

  // Every other hit reaches the second set as well, after the main points, with the same power.
  photon->flags = 0;
  store(3.0f);
  EXPECT_EQ(main_points->point().pass_photons, 1);
  EXPECT_EQ(second_points->point().pass_photons, 2);
  EXPECT_EQ(second_points->point().pass_flux[0], 1.0f + 3.0f);
  // Both deposits of the hit are buffered, the main one first; the caustic hit before them.
  ASSERT_EQ(buffer().hit_count, 3u);
  EXPECT_EQ(buffer().hits[1].flux[0], 3.0f);
  EXPECT_EQ(buffer().hits[2].flux[0], 3.0f);

  // Hits the main points do not take still reach the second set.
  photon->type = qor_ray_photon;
  store();
  EXPECT_EQ(second_points->point().pass_photons, 3);
  EXPECT_EQ(main_points->point().pass_photons, 1);
}

TEST_F(photon_deposit_test, a_kept_second_set_stops_gathering_after_its_last_iteration) {
  add_second_point_set();
  renderer->point_mode = 2;
  renderer->point2_last_iteration = 2;
  renderer->iteration = 2;
  store();
  EXPECT_EQ(second_points->point().pass_photons, 1);
  renderer->iteration = 3;
  store();
  EXPECT_EQ(second_points->point().pass_photons, 1);
}

// --- Photon lights fade the deposit
// -----------------------------------------------------------------

TEST_F(photon_deposit_test, photon_light_mode_fades_bounced_photons_over_unit_distance) {
  renderer->light_irradiance = true;
  renderer->indirect_photons = 1;
  photon->type = qor_ray_photon_diffuse;
  const measurement_point& p = main_points->point();

  photon->max_distance = 0.5;
  store();
  EXPECT_EQ(p.pass_flux[0], 0.75f);
  EXPECT_EQ(p.pass_photons, 1);

  photon->max_distance = 1.0;  // zero weight, but still a photon
  store();
  EXPECT_EQ(p.pass_flux[0], 0.75f);
  EXPECT_EQ(p.pass_photons, 2);

  for (double beyond : {1.0001, std::nan("")}) {
    photon->max_distance = beyond;
    store();
  }
  EXPECT_EQ(p.pass_photons, 2);

  // Other photons keep their power whatever the distance.
  photon->type = qor_ray_photon_specular;
  photon->max_distance = 3.0;
  store();
  EXPECT_EQ(p.pass_flux[0], 1.75f);
}

// --- The worker and the whole pass
// ------------------------------------------------------------------

class photon_pass_test : public photon_deposit_test {
 protected:
  void SetUp() override {
    photon_deposit_test::SetUp();
    renderer->direct_photons = 1;
    renderer->job_count = 100;
    renderer->iteration = 1;  // the emitter's weight (1) is the photon weight
  }

  void one_job(uint32_t photons) {
    renderer->emitters = {object_emitter(1.0f)};
    renderer->total_power = 1.0f;
    renderer->job_count = 1;
    renderer->create_emission_jobs(photons, 0);
  }

  // A photon shader whose path hits the origin when visible() says so, from the thread's
  // photon ray.
  void script_paths(std::function<bool(qorRandom&)> visible) {
    host().photon_shader = [this, visible](const float*, fake_ray& ray, qorShader*) {
      const bool hit = visible(*ray.thread->random);
      ray.type = qor_ray_photon;
      ray.hit_position[0] = hit ? 0.0 : 5.0;
      ray.direction[2] = -1.0;
      ray.shading_normal[2] = 1.0;
      ray.geometric_normal[2] = 1.0;
      const float power[3] = {1.0f, 1.0f, 1.0f};
      renderer->store_photon(power, ray);
      return 1;
    };
  }
};

TEST_F(photon_pass_test, the_last_current_path_reaches_both_point_sets_with_its_reuses) {
  add_second_point_set();
  renderer->point_mode = 1;
  one_job(5);
  int paths = 0;
  script_paths([&paths](qorRandom&) { return paths++ == 0; });  // only the first path is visible
  trace_emission_jobs(*renderer, scene(), 0, 0, 1);

  // The visible path's hit was buffered once per set and then reused four times: each set takes
  // its fresh deposit and, at the end, both buffered hits with flux 4.
  EXPECT_EQ(renderer->emission_jobs[0].mutations_rejected, 4u);
  for (const point_set* set : {main_points.get(), second_points.get()}) {
    EXPECT_EQ(set->point().pass_flux[0], 1.0f + 2.0f * 4.0f);
    EXPECT_EQ(set->point().pass_photons, 3);
  }
  EXPECT_EQ(buffer().hit_count, 0u);
  EXPECT_EQ(buffer().reuse_count, 0u);
}

TEST_F(photon_pass_test, a_stopped_worker_still_flushes_its_buffer) {
  one_job(5);
  host().stop = 1;
  int paths = 0;
  script_paths([&paths](qorRandom&) { return paths++ == 0; });
  trace_emission_jobs(*renderer, scene(), 0, 0, 1);
  EXPECT_EQ(renderer->emission_jobs[0].paths_traced, 0u);  // not written
  EXPECT_EQ(main_points->point().pass_flux[0], 1.0f + 4.0f);
}

TEST_F(photon_pass_test, on_many_threads_every_accepted_path_and_every_reuse_arrives_once) {
  host().threads = 4;
  renderer->emitters = {object_emitter(1.0f)};
  renderer->total_power = 1.0f;
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
  EXPECT_GT(fresh, 0u);
  EXPECT_GT(reused, 0u);
  EXPECT_EQ(stored, fresh);  // one point per visible path
  EXPECT_EQ(main_points->point().pass_flux[0], static_cast<float>(fresh + reused));
}

}  // namespace

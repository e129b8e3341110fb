#include <array>
#include <cmath>
#include <tuple>

#include "module/photons/adaptive_sampler.h"
#include "module/photons/random.h"
#include "tests/module/module_test.h"

namespace {

using photons_adaptive_sampler = module_test;

// A sampler seeded with 100000 hands out the vector its generator drew, then fresh numbers of
// the generator, and the vector again after a restart; seeding restarts the generator only.
TEST_F(photons_adaptive_sampler,
       a_path_draws_its_vector_then_fresh_numbers_and_replays_the_vector) {
  xorshift128 fresh{100000, 362436069, 521288629, 88675123};
  floats drawn, expected;
  for (int i = 0; i < 9; ++i) expected.push_back(unit_float(fresh.next_u32()));
  expected.insert(expected.end(), expected.begin(), expected.begin() + 8);
  expected.push_back(unit_float(fresh.next_u32()));
  qorRandom_adaptive sampler(100000);
  for (int i = 0; i < 18; ++i) {
    if (i == 9) sampler.restart();
    drawn.push_back(sampler.next_float());
  }
  EXPECT_EQ(drawn, expected);
  sampler.seed(42);
  EXPECT_TRUE(sampler.x == 42 && sampler.w == 88675123 && sampler.proposed[7] == expected[7]);
}

// A mutation moves coordinate i of the current vector by d = u^e, towards 0 when the second draw
// is below 0.5, reflected at 0 and 1; e = 1 / (|size| + 1e-10) + 4 (head) or + 1 (tail), after
// the size has moved by (acceptance - 0.234) x rate, the rate 0.01 for a record's first nine
// mutations and then 0.19999999 (head) or 0.099999994 (tail) over their count. With u = 0.5 and a
// size of 0.25 after the move, d is 1/256 for the head and 1/32 for the tail; a size of 0 makes
// e huge and d 0, the step none. The generator is set to give u and then v: with x = 0 a step
// gives w ^ (w >> 19), and the second step's t = y ^ (y << 11) enters as t ^ (t >> 8).
TEST_F(photons_adaptive_sampler, mutations_step_from_the_current_vector_by_the_adapted_size) {
  // Head, tried before, acceptance, size before, current, v, proposed.
  const float cases[][7] = {{1, 0, 0.234f, 0.25f, 0.5f, 0.5f, 0.5f + 1.0f / 256},
                            {1, 0, 0.234f, 0.25f, 0.5f, 0.25f, 0.5f - 1.0f / 256},
                            {1, 8, 0.734f, 0.245f, 0.5f, 0.5f, 0.5f + 1.0f / 256},
                            {1, 9, 0.734f, 0.24f, 0.5f, 0.5f, 0.5f + 1.0f / 256},
                            {1, 0, 0.234f, 0.25f, 0.999f, 0.5f, 2 - 0.999f - 1.0f / 256},
                            {1, 0, 0.234f, -0.25f, 0.001f, 0.25f, 1.0f / 256 - 0.001f},
                            {0, 9, 0.734f, 0.245f, 0.5f, 0.5f, 0.5f + 1.0f / 32},
                            {1, 0, 0.234f, 0.0f, 0.5f, 0.5f, 0.5f}};
  for (const auto& c : cases) {
    qorRandom_adaptive s(1);
    (c[0] != 0 ? s.head_control : s.tail_control) = {c[2], c[3], static_cast<int32_t>(c[1]), 1};
    for (float& v : s.current) v = c[4];
    const std::array<float, 8> before = std::to_array(s.proposed);
    const uint32_t a = 0x80000000u, b = static_cast<uint32_t>(c[5] * 4294967296.0);
    uint32_t t = b ^ a ^ (a >> 19);
    t ^= (t >> 8) ^ (t >> 16) ^ (t >> 24);
    s.x = s.z = 0, s.y = t ^ (t << 11) ^ (t << 22), s.w = a ^ (a >> 19);
    c[0] != 0 ? s.mutate_head() : s.mutate_tail();
    EXPECT_FLOAT_EQ(s.proposed[c[0] != 0 ? 0 : 2], c[6]) << c[1] << " " << c[4];
    // The head moves dimensions 0 and 1, the tail 2 to 7.
    for (int i = 0; i < 8; ++i) EXPECT_EQ(s.proposed[i] == before[i], (i < 2) != (c[0] != 0));
  }
}

// The chain of one job of 50 photons for an emitter budget of 4000; answer(call, uniform) says
// how many points each traced path reached.
class photons_chain : public module_test {
 protected:
  chain_counters run(std::function<uint32_t(int, bool)> answer, int iteration = 1) {
    calls.clear(), vectors.clear();
    std::function<uint32_t(bool)> trace = [&](bool uniform) {
      calls.push_back({uniform, buffer.photon_weight});
      vectors.push_back(std::to_array(sampler.proposed));
      return answer(static_cast<int>(calls.size()) - 1, uniform);
    };
    return run_emission_chain(sampler, job, 4000, iteration, buffer, trace);
  }
  int mutations() const {
    return std::count_if(calls.begin(), calls.end(), [](auto c) { return !c.first; });
  }

  qorRandom_adaptive sampler{100000};
  emission_job job{nullptr, 0, 50, 1000000, 0, 0, 0, 0, 0, 0};
  photon_path_buffer buffer{};
  std::vector<std::pair<bool, float>> calls;  // uniform, the photon weight when traced
  std::vector<std::array<float, 8>> vectors;
};

// Nothing visible: uniform paths only. A visible uniform path at step 7 starts the steps again
// (once in a sampler's life); in the first iteration the photon weight becomes the visible share
// so far over the budget, (1 / 4000) / (8 + 1000). Every fourth step mutates the head alone; a
// visible mutation credits the record it used with accepted / tried (the head counts them all).
TEST_F(photons_chain, the_first_visible_path_restarts_the_steps_once_and_sets_the_first_weight) {
  chain_counters c = run([](int, bool) { return 0u; }, 0);
  EXPECT_TRUE(c.paths_traced == 50 && mutations() == 0 && c.uniform_accepted == 0);
  c = run([](int call, bool uniform) { return uniform && call == 7 ? 3u : 0u; }, 0);
  EXPECT_TRUE(c.paths_traced == 7 + 50 && c.uniform_accepted == 1 && c.photons_stored == 3);
  EXPECT_TRUE(c.mutations_rejected == 49 && c.mutations_tried == 49 && buffer.reuse_count == 49);
  EXPECT_TRUE(calls[9].second == 1.0f * (1.0f / 4000.0f) / 1008.0f &&
              std::to_array(sampler.current) == vectors[7]);
  buffer.photon_weight = 0.5f;  // later iterations keep the emitter's weight
  c = run([](int call, bool uniform) { return uniform && call == 0 ? 1u : 0u; });
  EXPECT_TRUE(c.paths_traced == 50 && calls.back().second == 0.5f);
  sampler = qorRandom_adaptive(7);
  sampler.chain_started = 1;
  c = run([](int call, bool uniform) { return call == 0 ? 1u : uniform ? 0u : 2u; });
  EXPECT_TRUE(c.mutations_accepted == 49 && c.photons_stored == 1 + 49 * 2);
  for (int i = 2; i < 8; ++i)
    EXPECT_TRUE(vectors[8][i] == vectors[7][i] && vectors[2][i] != vectors[1][i]);
  EXPECT_TRUE(sampler.head_control.tried == 49 && sampler.tail_control.tried == 37);
  EXPECT_TRUE(sampler.head_control.acceptance == 13.0f / 48 &&
              sampler.tail_control.acceptance == 38.0f / 37);
}

// A current path kept from an earlier pass is traced again at its first rejection, and reused at
// the later ones. The limit message comes at each step that ends above the store limit.
TEST_F(photons_chain, a_kept_current_path_is_traced_again_then_reused_on_rejection) {
  run([](int call, bool uniform) { return uniform && call == 0 ? 1u : 0u; });
  job = {nullptr, 0, 5, 5, 0, 0, 0, 0, 0, 0};
  buffer.reuse_count = 0;
  const std::array<float, 8> kept = std::to_array(sampler.current);
  run([](int call, bool) { return call == 7 ? 5u : call == 9 ? 1u : 0u; });
  EXPECT_TRUE(calls[0].first && !calls[1].first && !calls[2].first && calls[3].first);
  EXPECT_TRUE(vectors[2] == kept && buffer.reuse_count == 2u);
  EXPECT_EQ(host().texts(), strings(1, "Reached maximum number of photons to store (5)\n"));
}

struct plain_light final : qorLight {
  int kind() const override { return 0; }
  float power() const override { return 0.0f; }
  void add_direct_light(float*, qorRay&, qorRay&) override {}
};

using photons_emission_jobs = module_test;

// Emitters (a camera, an object, a light) get jobs by their share of the power, a camera ten at
// least, other emitters one when their power is positive; no total power gives no share. Each
// job's sampler is seeded by its place in the list.
TEST_F(photons_emission_jobs, emitters_get_jobs_by_their_share_of_the_power_in_their_order) {
  plain_light light;
  const auto emitters = [&](floats powers, std::string kinds) {
    renderer->emitters.clear();
    renderer->total_power = 0;
    for (size_t i = 0; i < powers.size(); ++i) {
      renderer->emitters.push_back({nullptr, kinds[i] == 'l' ? &light : nullptr,
                                    kinds[i] == 'o' ? &emitter_object : nullptr, powers[i], 0, 0, 1,
                                    0});
      renderer->total_power += powers[i];
    }
  };
  renderer->job_count = 100;
  const std::tuple<floats, std::string, std::vector<int>> cases[] = {
      {{3, 1}, "ol", {75, 25}},
      {{1, 31}, "co", {10, 96}},
      {{1, 31}, "oo", {3, 96}},
      {{1e-6f, 1e-6f, 1}, "oco", {1, 10, 99}},
      {{0, 0, -1, 2}, "ocoo", {0, 0, 0, 200}},
      {{0, 1, -1}, "ooo", {0, 1, 0}}};
  for (const auto& [powers, kinds, jobs] : cases) {
    emitters(powers, kinds);
    renderer->create_emission_jobs(10, 0);
    std::vector<int> n(jobs.size(), 0);
    for (const emission_job& job : renderer->emission_jobs) n.at(job.emitter) += 1;
    EXPECT_EQ(n, jobs) << kinds;
    for (size_t i = 0; i < n.size(); ++i)
      EXPECT_EQ(renderer->emitters[i].photon_budget, 10u * n[i]);
  }
  emitters({3, 1}, "ol");
  renderer->create_emission_jobs(1000, 0);
  EXPECT_EQ(renderer->emission_jobs[75].sampler->proposed[0],
            qorRandom_adaptive(175000).proposed[0]);
  for (int32_t photons : {50, 0, 270000}) {  // the pass's budget over the target job count
    renderer->photons_per_pass = photons;
    renderer->photon_setup(scene());
    EXPECT_EQ(renderer->photons_per_job, photons == 270000 ? 2700u : 500u);
  }
}

// The pass's job counters sum per emitter: its totals run on (halved together past 2^28 - 1), its
// weight is its share of visible paths over all passes over this pass's paths. A kept second set
// gives its last gathering pass no weight.
TEST_F(photons_emission_jobs, the_pass_sums_its_jobs_per_emitter_into_weights) {
  renderer->emitters.assign(3, {nullptr, nullptr, &emitter_object, 1, 0, 0, 1, 0});
  renderer->emitters[2].paths_total = 0x10000000,
  renderer->emitters[2].uniform_accepted_total = 1001;
  renderer->emission_jobs = {{nullptr, 0, 0, 0, 100, 10, 50, 30, 20, 50},
                             {nullptr, 0, 0, 0, 60, 2, 7, 4, 1, 6},
                             {nullptr, 2, 0, 0, 10, 1, 0, 0, 0, 0}};
  renderer->update_emitter_statistics();
  const photon_emitter* e = renderer->emitters.data();
  EXPECT_TRUE(e[0].paths_total == 160 && e[0].uniform_accepted_total == 12 && e[1].weight == 0);
  EXPECT_TRUE(e[2].paths_total == 0x08000000 + 10 && e[2].uniform_accepted_total == 501);
  EXPECT_EQ(e[0].weight, 1.0f / (160.0f + 1e-5f) * (12.0f / (160.0f + 1e-5f)));
  EXPECT_EQ(renderer->mean_emitter_weight, (e[0].weight + e[2].weight) / (3.0f + 1e-5f));
  renderer->point_mode = 2, renderer->point2_last_iteration = renderer->iteration = 2;
  renderer->update_emitter_statistics();
  EXPECT_TRUE(e[0].weight == 0 && renderer->mean_emitter_weight == 0 && e[0].paths_total == 320);
}

// Emitters are the camera (if its emission shader exists), then the emissive objects, then the
// lights, each with a shader; the camera's power is its answer after the preparation (info 746,
// with the scene in place of the ray). Shaders are told apart by the materials that hold them.
TEST_F(photons_emission_jobs, emitters_are_the_camera_then_objects_then_lights_with_a_shader) {
  qorMaterial m[5] = {{reinterpret_cast<qorShader*>(&m[0])},
                      {reinterpret_cast<qorShader*>(&m[1])},
                      {nullptr},
                      {reinterpret_cast<qorShader*>(&m[3])},
                      {nullptr}};
  float prepared = 0;
  host().info_shader = [&](qorRay* ray, qorShader* shader, int info, void* data) {
    if (info == qor_shader_prepare) return prepared = ray == reinterpret_cast<qorRay*>(&scene()), 1;
    EXPECT_TRUE(ray->weight == 1 && ray->emission_scale == 1);
    return *static_cast<float*>(data) = prepared + (reinterpret_cast<qorMaterial*>(shader) - m), 1;
  };
  host().camera.emission_shader = m[0].shader;
  qorObject bright{&m[1]}, unshaded{&m[2]};
  host().emissive_objects = {&unshaded, &bright};
  plain_light dark, lit;
  dark.material = &m[4], lit.material = &m[3], dark.next = &lit;
  host().lights = &dark;
  renderer->enumerate_emitters(scene());
  std::vector<std::tuple<qorShader*, qorLight*, qorObject*, float>> found;
  for (const photon_emitter& e : renderer->emitters)
    found.emplace_back(e.shader, e.light, e.object, e.power);
  EXPECT_EQ(found, (std::vector<std::tuple<qorShader*, qorLight*, qorObject*, float>>{
                       {m[0].shader, nullptr, nullptr, 1},
                       {m[1].shader, nullptr, &bright, 2},
                       {m[3].shader, &lit, nullptr, 4}}));
  EXPECT_EQ(host().texts().back(), "Found 3 photon emitters with total power = 7\n");
  host().camera_present = false;  // a second enumeration replaces the list
  renderer->enumerate_emitters(scene());
  EXPECT_TRUE(renderer->emitters.size() == 2 && host().rays == 0);
}

// The main set's point and the second set's at the origin (radius 1, facing +z); photons fall
// straight down at iteration 1, one path of the given hits per pass.
class photons_photon_paths : public module_test {
 protected:
  void SetUp() override {
    module_test::SetUp();
    create(defaults());
    renderer->point_count = renderer->point2_count = renderer->iteration = 1;
  }
  void pass(std::vector<qorRay> hits, uint32_t steps = 1, float radius2 = 1) {
    points = {make_point(0, 0, 0, 1)}, points2 = {make_point(0, 0, 0, radius2)};
    photon_pass([&](int path) { return path == 0 ? hits : std::vector<qorRay>{}; }, steps);
  }
  qorRay bounce{.shading_normal = {0.6, 0.0, 0.8}};  // the surface a photon bounced off
};

// Type, flags (0x800: caustic), direct, indirect, caustic, point mode, iteration, and whether the
// main and the second set take the photon: a first segment needs direct photons, a bounce
// indirect ones, a caustic caustic ones, and with a second set only that; a kept second set
// gathers to its last iteration (2), with the radius its point has now (the last row: shrunk to
// 0.5 since its tree was built, with the photon 0.75 away).
TEST_F(photons_photon_paths, photons_reach_the_point_sets_by_kind_of_hit) {
  const uint32_t d = qor_ray_photon_diffuse, s = qor_ray_photon_specular;
  const uint32_t cases[][10] = {{qor_ray_photon, 0, 0, 1, 1, 0, 1, 0, 0},
                                {qor_ray_photon, 0, 1, 0, 0, 0, 1, 1, 0},
                                {d, 0, 0, 1, 0, 0, 1, 1, 0},
                                {d, 0x800, 0, 1, 0, 0, 1, 0, 0},
                                {d, 0x800, 0, 0, 1, 0, 1, 1, 0},
                                {s, 0x800, 1, 1, 1, 1, 1, 0, 1},
                                {s, 0, 0, 1, 0, 1, 1, 1, 1},
                                {qor_ray_photon, 0, 0, 0, 0, 2, 2, 0, 1},
                                {qor_ray_photon, 0, 0, 0, 0, 2, 3, 0, 0},
                                {qor_ray_photon, 0, 0, 0, 0, 2, 2, 0, 0, 1}};
  for (const auto& c : cases) {
    renderer->direct_photons = c[2], renderer->indirect_photons = c[3],
    renderer->caustic_photons = c[4];
    renderer->point_mode = c[5], renderer->iteration = c[6];
    qorRay hit = photon_hit(0.75 * c[9], 0, 0, {0, 0, 1}, {0, 0, -1}, c[0]);
    hit.flags = c[1];
    pass({hit}, 1, c[9] ? 0.5f : 1.0f);
    EXPECT_TRUE(points[0].pass_flux[0] == c[7] && points2[0].pass_flux[0] == c[8])
        << c[0] << " " << c[1] << " " << c[5];
  }
}

// In photon-light mode a diffuse bounce leaves a light where it bounced (with the bounced
// surface's normal) and fades its deposit by 1 - d^2 up to distance 1, beyond which (and for a
// distance that is not a number) it deposits nothing. Other hits keep their power and leave no
// light; a full list takes the 1,000,001st light of a pass and refuses later ones.
TEST_F(photons_photon_paths, a_diffuse_bounce_leaves_a_photon_light_and_fades_its_deposit) {
  renderer->light_irradiance = true;
  const double distance[4] = {0.5, 1.0, 1.0001, NAN};
  const float gathered[4][2] = {{1, 0.75f}, {1, 0}, {0, 0}, {0, 0}};
  for (int k = 0; k < 4; ++k) {
    qorRay hit = photon_hit(0, 0, 0, {0, 0, 1}, {0, 0, -1}, qor_ray_photon_diffuse);
    set3(hit.origin, 1.5, -2.25, 3.0);
    hit.max_distance = distance[k], hit.parent = &bounce;
    pass({hit});
    EXPECT_TRUE(points[0].pass_photons == gathered[k][0] &&
                points[0].pass_flux[0] == gathered[k][1])
        << k;
    ASSERT_EQ(renderer->photon_lights.size(), 1u);
  }
  const photon_light& light = renderer->photon_lights[0];
  EXPECT_TRUE(rgb(light.normal) == (floats{0.6f, 0.0f, 0.8f}) &&
              rgb(light.position) == (floats{1.5f, -2.25f, 3.0f}));
  renderer->photon_lights.reserve(1000001);
  host().photon_shader = [&](qorRay& ray, qorShader*) {
    qorRay hit = photon_hit(0, 0, 0, {0, 0, 1}, {0, 0, -1}, qor_ray_photon_specular, 2);
    hit.thread = ray.thread;
    renderer->store_photon(floats(3, 2).data(), hit);
    renderer->photon_lights.resize(1000000);
    hit.type = qor_ray_photon_diffuse, hit.parent = &bounce, hit.max_distance = 2;
    for (int k = 0; k < 3; ++k) renderer->store_photon(floats(3, 2).data(), hit);
  };
  points[0] = make_point(0, 0, 0, 1);
  renderer->emitters[0].weight = 1;
  renderer->trace_photons(scene());
  EXPECT_TRUE(renderer->photon_lights.size() == 1000001 && points[0].pass_flux[0] == 2);
}

// A path deposits its hits, the flux tilted by the ratio of the two normals' cosines with the
// direction (+0.01 each); the chain's two rejected mutations deposit them twice more, as one
// photon each time. The 65th hit of a path that reaches a point is deposited but not kept.
TEST_F(photons_photon_paths, a_path_deposits_its_hits_and_the_reuses_of_the_current_path) {
  qorRay tilted = photon_hit(0.5, 0, 0, {0, 0, 1}, {0.6, 0, -0.8}, qor_ray_photon, 2);
  set3(tilted.shading_normal, std::sqrt(0.75), 0.0, 0.5);
  tilted.max_distance = 7;
  pass({photon_hit(0, 0, 0, {0, 0, 1}, {0, 0, -1}, qor_ray_photon, 2), tilted}, 3);
  EXPECT_FLOAT_EQ(points[0].pass_flux[0],
                  3 * (2 + 2 * ((0.6f * std::sqrt(0.75f) - 0.39f) / 0.81f)));
  EXPECT_TRUE(points[0].pass_photons == 2 * 2 && points[0].offset_sum[0] == 2 * 0.5f);
  pass(std::vector<qorRay>(65, photon_hit(0, 0, 0)), 2);
  EXPECT_EQ(points[0].pass_photons, 65 + 64);
  EXPECT_EQ(host().texts("warning"), strings{"Max photons per path reached 64\n"});
}

}  // namespace

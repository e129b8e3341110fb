#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <vector>

#include "photons/adaptive_sampler.h"
#include "photons/photon_records.h"
#include "tests/module/fake_host.h"

namespace {

xorshift128 generator_of(const qorRandom_adaptive& s) {
  return xorshift128{s.x, s.y, s.z, s.w};
}

std::array<float, 8> vector_of(const float (&v)[8]) {
  std::array<float, 8> out;
  for (int i = 0; i < 8; ++i) out[i] = v[i];
  return out;
}

const std::array<float, 8> seed_100000_vector = {0.036890134f, 0.80670023f, 0.25297058f,
                                                 0.052245997f, 0.53771603f, 0.34652188f,
                                                 0.05196018f,  0.99638283f};

// --- The sampler as a random source ------------------------------------------------------------

TEST(adaptive_sampler, a_new_sampler_hands_out_its_first_vector_then_fresh_numbers) {
  qorRandom_adaptive sampler(100000);
  EXPECT_EQ(vector_of(sampler.proposed), seed_100000_vector);
  EXPECT_EQ(vector_of(sampler.current), (std::array<float, 8>{}));
  EXPECT_EQ(sampler.chain_started, 0u);
  EXPECT_EQ(sampler.chain_idle, 1u);
  EXPECT_EQ(sampler.head_control.tried, 0);
  EXPECT_EQ(sampler.head_control.accepted, 1);
  EXPECT_EQ(sampler.tail_control.acceptance, 0.25f);
  EXPECT_EQ(sampler.tail_control.size, 0.2f);

  // The ninth and later numbers come straight from the generator, which has taken eight steps.
  xorshift128 replay{100000, 362436069, 521288629, 88675123};
  for (int i = 0; i < 8; ++i) replay.next_u32();
  for (int i = 0; i < 8; ++i) EXPECT_EQ(sampler.next_float(), seed_100000_vector[i]) << i;
  EXPECT_EQ(sampler.next_float(), unit_float(replay.next_u32()));
  EXPECT_EQ(sampler.next_float(), unit_float(replay.next_u32()));
  EXPECT_EQ(sampler.next_index, 8u);

  // A restart replays the vector; the fresh numbers are never replayed.
  sampler.restart();
  for (int i = 0; i < 8; ++i) EXPECT_EQ(sampler.next_float(), seed_100000_vector[i]) << i;
  EXPECT_EQ(sampler.next_float(), unit_float(replay.next_u32()));
}

TEST(adaptive_sampler, seeding_restarts_the_generator_and_leaves_the_chain_alone) {
  qorRandom_adaptive sampler(7);
  sampler.accept();
  sampler.chain_idle = 0;
  sampler.mutate_head();
  sampler.mutate_tail();
  sampler.next_float();
  sampler.next_float();
  const qorRandom_adaptive before = sampler;

  sampler.seed(42);
  EXPECT_EQ(sampler.x, 42u);
  EXPECT_EQ(sampler.y, 362436069u);
  EXPECT_EQ(sampler.z, 521288629u);
  EXPECT_EQ(sampler.w, 88675123u);
  EXPECT_EQ(vector_of(sampler.proposed), vector_of(before.proposed));
  EXPECT_EQ(vector_of(sampler.current), vector_of(before.current));
  EXPECT_EQ(sampler.next_index, 2u);
  EXPECT_EQ(sampler.chain_idle, 0u);
  EXPECT_EQ(sampler.chain_started, before.chain_started);
  EXPECT_EQ(sampler.head_control.tried, 1);
  EXPECT_EQ(sampler.head_control.size, before.head_control.size);
  EXPECT_EQ(sampler.tail_control.tried, 1);
  EXPECT_EQ(sampler.tail_control.size, before.tail_control.size);

  xorshift128 replay{42, 362436069, 521288629, 88675123};
  sampler.uniform_proposal();
  EXPECT_EQ(sampler.proposed[0], unit_float(replay.next_u32()));
}

// --- Mutations ---------------------------------------------------------------------------------

TEST(adaptive_sampler, mutated_coordinates_reflect_back_into_the_unit_interval) {
  EXPECT_FLOAT_EQ(mutated_coordinate(0.9f, 0.3f), 0.8f);
  EXPECT_FLOAT_EQ(mutated_coordinate(0.1f, -0.3f), 0.2f);
  EXPECT_EQ(mutated_coordinate(0.5f, 0.25f), 0.75f);
  EXPECT_EQ(mutated_coordinate(0.5f, 0.5f), 1.0f);   // 1 reflects onto itself
  EXPECT_EQ(mutated_coordinate(0.5f, -0.5f), 0.0f);  // 0 stays
  EXPECT_EQ(mutated_coordinate(1.0f, 1.0f), 0.0f);   // the longest step crosses the interval
  EXPECT_EQ(mutated_coordinate(0.0f, -1.0f), 1.0f);
}

TEST(adaptive_sampler, head_and_tail_mutations_draw_a_step_then_a_sign_for_their_own_dimensions) {
  qorRandom_adaptive sampler(100000);
  sampler.accept();
  sampler.uniform_proposal();  // proposed now differs from current in every dimension
  const std::array<float, 8> fresh = vector_of(sampler.proposed);

  xorshift128 replay = generator_of(sampler);
  sampler.mutate_head();
  const float size = (0.25f - 0.234f) * 0.01f + 0.2f;
  EXPECT_EQ(sampler.head_control.size, size);
  const float exponent = 1.0f / (size + 1e-10f) + 4.0f;
  for (int i = 0; i < 2; ++i) {
    const float step = powf(unit_float(replay.next_u32()), exponent);
    const bool negative = unit_float(replay.next_u32()) < 0.5f;
    EXPECT_EQ(sampler.proposed[i], mutated_coordinate(sampler.current[i], negative ? -step : step))
        << i;
  }
  for (int i = 2; i < 8; ++i) EXPECT_EQ(sampler.proposed[i], fresh[i]) << i;
  EXPECT_EQ(sampler.tail_control.tried, 0);

  const std::array<float, 2> head = {sampler.proposed[0], sampler.proposed[1]};
  sampler.mutate_tail();
  for (int i = 0; i < 12; ++i) replay.next_u32();
  EXPECT_EQ(sampler.w, replay.w);  // two generator steps per tail dimension
  EXPECT_EQ(sampler.proposed[0], head[0]);
  EXPECT_EQ(sampler.proposed[1], head[1]);
  EXPECT_EQ(sampler.tail_control.tried, 1);
  EXPECT_EQ(sampler.head_control.tried, 1);
  for (int i = 2; i < 8; ++i) {
    EXPECT_GE(sampler.proposed[i], 0.0f);
    EXPECT_LE(sampler.proposed[i], 1.0f);
  }
}

TEST(adaptive_sampler, adaptation_rate_is_fixed_for_nine_mutations_then_decays_per_record) {
  qorRandom_adaptive sampler(1);
  for (mutation_control* control : {&sampler.head_control, &sampler.tail_control}) {
    control->tried = 8;
    control->acceptance = 1.0f;
  }

  sampler.mutate_head();  // the ninth
  const float ninth = (1.0f - 0.234f) * 0.01f + 0.2f;
  EXPECT_EQ(sampler.head_control.size, ninth);
  sampler.mutate_head();  // the tenth: 0.19999999 / 10
  EXPECT_EQ(sampler.head_control.tried, 10);
  EXPECT_EQ(sampler.head_control.size, (1.0f - 0.234f) * 0.02f + ninth);

  sampler.mutate_tail();
  EXPECT_EQ(sampler.tail_control.size, ninth);
  sampler.mutate_tail();  // the tenth: 0.099999994 / 10
  EXPECT_EQ(sampler.tail_control.size, (1.0f - 0.234f) * 0.01f + ninth);

  // Past the tenth, the rate keeps shrinking with the count.
  sampler.mutate_tail();
  EXPECT_EQ(sampler.tail_control.size,
            (1.0f - 0.234f) * (0.099999994f / 11.0f) + ((1.0f - 0.234f) * 0.01f + ninth));
}

// --- The chain of one job in one pass ------------------------------------------------------------

// A scripted photon shader: answers each traced path from a list of results (0 = invisible),
// and records what the chain asked for.
struct scripted_paths {
  qorRandom_adaptive* sampler = nullptr;
  std::function<uint32_t(int call, bool uniform)> answer;
  std::vector<bool> uniform_calls;
  std::vector<std::array<float, 8>> traced_vectors;

  uint32_t operator()(bool uniform) {
    uniform_calls.push_back(uniform);
    traced_vectors.push_back(vector_of(sampler->proposed));
    return answer(static_cast<int>(uniform_calls.size()) - 1, uniform);
  }
  int count(bool uniform) const {
    return static_cast<int>(std::count(uniform_calls.begin(), uniform_calls.end(), uniform));
  }
};

class emission_chain_test : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_host();
    job.photons = 50;
    job.store_limit = 1000000;
    paths.sampler = &sampler;
  }
  void TearDown() override { reset_host(); }

  chain_counters run(int32_t iteration = 1) {
    return run_emission_chain(sampler, job, budget, iteration, buffer, paths);
  }

  qorRandom_adaptive sampler{100000};
  emission_job job{};
  uint32_t budget = 4000;
  photon_path_buffer buffer{};
  scripted_paths paths;
};

TEST_F(emission_chain_test, a_job_that_never_sees_a_point_traces_only_uniform_paths) {
  paths.answer = [](int, bool) { return 0u; };
  const chain_counters c = run();
  EXPECT_EQ(c.paths_traced, 50u);
  EXPECT_EQ(c.uniform_accepted, 0u);
  EXPECT_EQ(c.photons_stored, 0u);
  EXPECT_EQ(c.mutations_tried, 0u);
  EXPECT_EQ(c.mutations_rejected, 0u);
  EXPECT_EQ(c.mutations_accepted, 0u);
  EXPECT_EQ(paths.count(true), 50);
  EXPECT_EQ(paths.count(false), 0);
  EXPECT_EQ(sampler.chain_idle, 1u);
  EXPECT_EQ(sampler.chain_started, 0u);
  EXPECT_EQ(buffer.reuse_count, 0u);
}

TEST_F(emission_chain_test, a_job_with_no_photons_traces_nothing) {
  job.photons = 0;
  paths.answer = [](int, bool) { return 1u; };
  const chain_counters c = run();
  EXPECT_EQ(c.paths_traced, 0u);
  EXPECT_TRUE(paths.uniform_calls.empty());
}

TEST_F(emission_chain_test, the_first_visible_path_restarts_the_step_count_once_per_sampler) {
  constexpr int k = 7;
  // Only the uniform path of step k is visible; every mutation after it is rejected.
  paths.answer = [](int call, bool uniform) { return uniform && call == k ? 3u : 0u; };
  const chain_counters c = run(0);
  EXPECT_EQ(c.paths_traced, k + 50u);
  EXPECT_EQ(paths.count(true), k + 50);
  EXPECT_EQ(c.uniform_accepted, 1u);
  EXPECT_EQ(c.photons_stored, 3u);
  EXPECT_EQ(c.mutations_tried, 49u);
  EXPECT_EQ(c.mutations_rejected, 49u);
  EXPECT_EQ(c.mutations_accepted, 0u);
  EXPECT_EQ(buffer.reuse_count, 49u);  // each rejection reuses the visible path once more
  EXPECT_EQ(sampler.chain_started, 1u);
  EXPECT_EQ(sampler.chain_idle, 0u);
  EXPECT_EQ(vector_of(sampler.current), paths.traced_vectors[k]);
  // In the first iteration the flux weight is estimated from the job's own uniform paths: one
  // visible out of k + 1, against the emitter's budget.
  EXPECT_EQ(buffer.photon_weight, 1.0f * (1.0f / 4000.0f) / static_cast<float>(k + 1 + 1000));

  // In the next pass the chain has started already: a visible path no longer extends the pass,
  // and the weight is left to the worker.
  buffer = photon_path_buffer{};
  paths.uniform_calls.clear();
  paths.answer = [](int call, bool uniform) { return uniform && call == 0 ? 1u : 0u; };
  const chain_counters second = run(1);
  EXPECT_EQ(second.paths_traced, 50u);
  EXPECT_EQ(second.uniform_accepted, 1u);
  EXPECT_EQ(buffer.photon_weight, 0.0f);
}

TEST_F(emission_chain_test, mutations_stop_at_the_201st_rejection_until_a_uniform_path_is_visible) {
  job.photons = 400;
  int uniform_seen = 0;
  int mutations_before_revival = 0;
  // Uniform proposals are visible at the first step and at the 300th; nothing else is.
  paths.answer = [&](int, bool uniform) {
    if (!uniform) return 0u;
    ++uniform_seen;
    if (uniform_seen == 300) mutations_before_revival = paths.count(false);
    return uniform_seen == 1 || uniform_seen == 300 ? 1u : 0u;
  };
  const chain_counters c = run();
  EXPECT_EQ(c.paths_traced, 400u);
  EXPECT_EQ(mutations_before_revival, 201);
  // After the revival at step 299 the remaining 100 steps mutate again; the chain goes idle
  // only after 201 more rejections, which do not fit.
  EXPECT_EQ(c.mutations_tried, 201u + 100u);
  EXPECT_EQ(c.mutations_rejected, 301u);
  EXPECT_EQ(c.uniform_accepted, 2u);
  EXPECT_EQ(sampler.chain_idle, 0u);
}

TEST_F(emission_chain_test, every_fourth_step_mutates_the_head_alone_and_credits_its_record) {
  job.photons = 5;
  std::array<float, 8> uniform_vector{};
  bool tail_kept_on_fourth_step = false;
  int step = 0;
  paths.answer = [&](int, bool uniform) {
    if (uniform) {
      uniform_vector = paths.traced_vectors.back();
      return step++ == 0 ? 1u : 0u;  // the first path starts the chain
    }
    if (step - 1 == 4) {
      const std::array<float, 8>& mutated = paths.traced_vectors.back();
      tail_kept_on_fourth_step =
          std::equal(mutated.begin() + 2, mutated.end(), uniform_vector.begin() + 2);
    }
    return 2u;  // every mutation is visible
  };
  const chain_counters c = run();
  // Steps 1 to 4 mutate: steps 1, 2, 3 head and tail, step 4 the head alone.
  EXPECT_EQ(c.mutations_tried, 4u);
  EXPECT_EQ(c.mutations_accepted, 4u);
  EXPECT_EQ(c.photons_stored, 1u + 4u * 2u);
  EXPECT_TRUE(tail_kept_on_fourth_step);
  EXPECT_EQ(sampler.head_control.tried, 4);
  EXPECT_EQ(sampler.head_control.accepted, 2);
  EXPECT_EQ(sampler.head_control.acceptance, 0.5f);
  EXPECT_EQ(sampler.tail_control.tried, 3);
  EXPECT_EQ(sampler.tail_control.accepted, 4);
  EXPECT_EQ(sampler.tail_control.acceptance, 4.0f / 3.0f);
  EXPECT_EQ(vector_of(sampler.current), paths.traced_vectors.back());
}

TEST_F(emission_chain_test,
       a_path_kept_from_an_earlier_pass_is_traced_again_at_its_first_rejection) {
  sampler.chain_started = 1;
  sampler.chain_idle = 0;
  sampler.accept();
  const std::array<float, 8> kept = vector_of(sampler.current);
  job.photons = 3;
  paths.answer = [](int, bool) { return 0u; };
  const chain_counters c = run();
  // Step 0: uniform, mutation, repeat of the kept path. Steps 1 and 2: uniform and mutation,
  // whose rejections reuse the repeated path.
  EXPECT_EQ(paths.uniform_calls, (std::vector<bool>{true, false, false, true, false, true, false}));
  EXPECT_EQ(paths.traced_vectors[2], kept);
  EXPECT_EQ(c.mutations_rejected, 3u);
  EXPECT_EQ(buffer.reuse_count, 2u);
  EXPECT_EQ(c.photons_stored, 0u);
}

TEST_F(emission_chain_test, the_store_limit_message_repeats_while_the_count_is_above_it) {
  job.photons = 4;
  job.store_limit = 5;
  paths.answer = [](int, bool uniform) { return uniform ? 3u : 0u; };
  run();  // stored after each of the four steps: 3, 6, 9, 12
  const std::vector<std::string> lines = host().texts("sprint");
  EXPECT_EQ(
      std::count(lines.begin(), lines.end(), "Reached maximum number of photons to store (5)\n"),
      3);
}

}  // namespace

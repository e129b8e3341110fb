#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <vector>

#include "photons/adaptive_sampler.h"
#include "photons/photon_records.h"
#include "tests/module/fake_host.h"

namespace {

using sample_vector = std::array<float, 8>;

sample_vector vector_of(const float (&v)[8]) {
  sample_vector out;
  std::copy(v, v + 8, out.begin());
  return out;
}

// --- The sampler as a random source ------------------------------------------------------------

TEST(adaptive_sampler, hands_out_its_vector_then_fresh_numbers_and_replays_the_vector_on_restart) {
  const sample_vector seeded = {0.036890134f, 0.80670023f, 0.25297058f, 0.052245997f,
                                0.53771603f,  0.34652188f, 0.05196018f, 0.99638283f};
  qorRandom_adaptive sampler(100000);
  EXPECT_EQ(vector_of(sampler.current), sample_vector{});
  EXPECT_EQ(sampler.chain_idle, 1u);

  xorshift128 replay{100000, 362436069, 521288629, 88675123};
  for (int i = 0; i < 8; ++i) replay.next_u32();
  for (int i = 0; i < 8; ++i) EXPECT_EQ(sampler.next_float(), seeded[i]) << i;
  EXPECT_EQ(sampler.next_float(), unit_float(replay.next_u32()));
  EXPECT_EQ(sampler.next_index, 8u);

  sampler.restart();
  for (int i = 0; i < 8; ++i) EXPECT_EQ(sampler.next_float(), seeded[i]) << i;
  EXPECT_EQ(sampler.next_float(), unit_float(replay.next_u32()));  // never replayed
}

TEST(adaptive_sampler, seeding_restarts_the_generator_and_leaves_the_chain_alone) {
  qorRandom_adaptive sampler(7);
  sampler.accept();
  sampler.chain_idle = 0;
  sampler.mutate_head();
  sampler.mutate_tail();
  sampler.next_float();
  const qorRandom_adaptive before = sampler;

  sampler.seed(42);
  EXPECT_EQ(vector_of(sampler.proposed), vector_of(before.proposed));
  EXPECT_EQ(vector_of(sampler.current), vector_of(before.current));
  EXPECT_EQ(sampler.next_index, 1u);
  EXPECT_EQ(sampler.chain_idle, 0u);
  EXPECT_EQ(sampler.head_control.size, before.head_control.size);
  EXPECT_EQ(sampler.tail_control.tried, 1);

  xorshift128 replay{42, 362436069, 521288629, 88675123};
  sampler.uniform_proposal();
  EXPECT_EQ(sampler.proposed[0], unit_float(replay.next_u32()));
}

// --- Mutations ---------------------------------------------------------------------------------

TEST(adaptive_sampler, mutations_stay_in_the_unit_interval_and_in_their_own_dimensions) {
  EXPECT_FLOAT_EQ(mutated_coordinate(0.9f, 0.3f), 0.8f);
  EXPECT_FLOAT_EQ(mutated_coordinate(0.1f, -0.3f), 0.2f);
  EXPECT_EQ(mutated_coordinate(0.5f, 0.5f), 1.0f);
  EXPECT_EQ(mutated_coordinate(1.0f, 1.0f), 0.0f);
  EXPECT_EQ(mutated_coordinate(0.0f, -1.0f), 1.0f);

  qorRandom_adaptive sampler(100000);
  sampler.accept();
  sampler.uniform_proposal();
  const sample_vector fresh = vector_of(sampler.proposed);
  sampler.mutate_head();
  sample_vector after = vector_of(sampler.proposed);
  EXPECT_TRUE(std::equal(after.begin() + 2, after.end(), fresh.begin() + 2));
  EXPECT_NE(after[0], fresh[0]);
  sampler.mutate_tail();
  EXPECT_EQ(sampler.proposed[0], after[0]);
  EXPECT_EQ(sampler.proposed[1], after[1]);
  for (float p : sampler.proposed) EXPECT_TRUE(p >= 0.0f && p <= 1.0f);
  EXPECT_EQ(sampler.head_control.tried, 1);
  EXPECT_EQ(sampler.tail_control.tried, 1);
}

TEST(adaptive_sampler, adaptation_rate_is_fixed_for_nine_mutations_then_decays_per_record) {
  qorRandom_adaptive sampler(1);
  for (mutation_control* control : {&sampler.head_control, &sampler.tail_control}) {
    control->tried = 8;
    control->acceptance = 1.0f;
  }
  const float ninth = (1.0f - 0.234f) * 0.01f + 0.2f;
  sampler.mutate_head();
  EXPECT_EQ(sampler.head_control.size, ninth);
  sampler.mutate_head();
  EXPECT_EQ(sampler.head_control.size, (1.0f - 0.234f) * 0.02f + ninth);
  sampler.mutate_tail();
  sampler.mutate_tail();
  EXPECT_EQ(sampler.tail_control.size, (1.0f - 0.234f) * 0.01f + ninth);
}

// --- The chain of one job in one pass ------------------------------------------------------------

// Answers each traced path from a script (0 = invisible) and records what the chain asked for.
struct scripted_paths {
  qorRandom_adaptive* sampler = nullptr;
  std::function<uint32_t(int call, bool uniform)> answer;
  std::vector<bool> uniform_calls;
  std::vector<sample_vector> traced_vectors;

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
    return run_emission_chain(sampler, job, 4000, iteration, buffer, paths);
  }

  qorRandom_adaptive sampler{100000};
  emission_job job{};
  photon_path_buffer buffer{};
  scripted_paths paths;
};

TEST_F(emission_chain_test, a_job_that_never_sees_a_point_traces_only_uniform_paths) {
  paths.answer = [](int, bool) { return 0u; };
  const chain_counters c = run();
  EXPECT_EQ(c.paths_traced, 50u);
  EXPECT_EQ(paths.count(false), 0);
  EXPECT_EQ(c.uniform_accepted + c.photons_stored + c.mutations_tried + c.mutations_rejected +
                c.mutations_accepted,
            0u);
}

TEST_F(emission_chain_test, the_first_visible_path_restarts_the_step_count_once_per_sampler) {
  constexpr int k = 7;
  // Only the uniform path of step k is visible; every mutation after it is rejected.
  paths.answer = [](int call, bool uniform) { return uniform && call == k ? 3u : 0u; };
  const chain_counters c = run(0);
  EXPECT_EQ(c.paths_traced, k + 50u);
  EXPECT_EQ(c.photons_stored, 3u);
  EXPECT_EQ(c.mutations_rejected, 49u);
  EXPECT_EQ(buffer.reuse_count, 49u);
  EXPECT_EQ(vector_of(sampler.current), paths.traced_vectors[k]);
  // First iteration: one visible path of k + 1, against the emitter's budget of 4000.
  EXPECT_EQ(buffer.photon_weight, 1.0f * (1.0f / 4000.0f) / static_cast<float>(k + 1 + 1000));

  paths.uniform_calls.clear();
  paths.answer = [](int call, bool uniform) { return uniform && call == 0 ? 1u : 0u; };
  EXPECT_EQ(run(1).paths_traced, 50u);  // the chain has started: no second restart
}

TEST_F(emission_chain_test, mutations_stop_at_the_201st_rejection_until_a_uniform_path_is_visible) {
  job.photons = 400;
  int uniform_seen = 0;
  int mutations_when_revived = 0;
  paths.answer = [&](int, bool uniform) {
    if (!uniform) return 0u;
    if (++uniform_seen == 300) mutations_when_revived = paths.count(false);
    return uniform_seen == 1 || uniform_seen == 300 ? 1u : 0u;
  };
  const chain_counters c = run();
  EXPECT_EQ(mutations_when_revived, 201);
  EXPECT_EQ(c.mutations_tried, 201u + 100u);  // steps 300 to 399 mutate again
  EXPECT_EQ(sampler.chain_idle, 0u);
}

TEST_F(emission_chain_test, every_fourth_step_mutates_the_head_alone_and_credits_its_record) {
  job.photons = 5;
  sample_vector uniform_vector{};
  bool tail_kept_on_fourth_step = false;
  int step = 0;
  paths.answer = [&](int, bool uniform) {
    if (uniform) {
      uniform_vector = paths.traced_vectors.back();
      return step++ == 0 ? 1u : 0u;
    }
    if (step - 1 == 4) {
      const sample_vector& mutated = paths.traced_vectors.back();
      tail_kept_on_fourth_step =
          std::equal(mutated.begin() + 2, mutated.end(), uniform_vector.begin() + 2);
    }
    return 2u;
  };
  const chain_counters c = run();
  EXPECT_EQ(c.mutations_accepted, 4u);  // steps 1, 2, 3 head and tail; step 4 the head alone
  EXPECT_EQ(c.photons_stored, 1u + 4u * 2u);
  EXPECT_TRUE(tail_kept_on_fourth_step);
  EXPECT_EQ(sampler.head_control.tried, 4);
  EXPECT_EQ(sampler.head_control.acceptance, 2.0f / 4.0f);
  EXPECT_EQ(sampler.tail_control.tried, 3);
  EXPECT_EQ(sampler.tail_control.acceptance, 4.0f / 3.0f);
}

TEST_F(emission_chain_test,
       a_path_kept_from_an_earlier_pass_is_traced_again_at_its_first_rejection) {
  sampler.chain_started = 1;
  sampler.chain_idle = 0;
  sampler.accept();
  job.photons = 3;
  paths.answer = [](int, bool) { return 0u; };
  const chain_counters c = run();
  EXPECT_EQ(paths.uniform_calls, (std::vector<bool>{true, false, false, true, false, true, false}));
  EXPECT_EQ(paths.traced_vectors[2], vector_of(sampler.current));
  EXPECT_EQ(c.mutations_rejected, 3u);
  EXPECT_EQ(buffer.reuse_count, 2u);  // the repeat was deposited itself
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

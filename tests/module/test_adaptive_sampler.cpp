#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <functional>
#include <vector>

#include "module/photons/adaptive_sampler.h"
#include "module/photons/photon_records.h"
#include "module/photons/random.h"
#include "tests/module/module_test.h"

namespace {

TEST(xorshift128, starts_from_the_published_state_and_its_floats_reach_one_at_the_top) {
  xorshift128 g;
  EXPECT_EQ(g.next_u32(), 3701687786u);
  EXPECT_EQ(g.next_u32(), 458299110u);
  EXPECT_TRUE(unit_float(4294967295u) == 1.0f && unit_float(4294967168u) == 1.0f);
  EXPECT_TRUE(unit_float(4294967167u) < 1.0f && unit_float(0u) == 0.0f);
  EXPECT_EQ(unit_float(2147483648u), 0.5f);
  EXPECT_EQ(unit_float_28(4294967295u), 1.0f);
  EXPECT_EQ(unit_float_28(15u), 0.0f);  // the low four bits are dropped
  EXPECT_EQ(unit_float_28(16u), 3.7252903e-09f);
}

TEST(xorshift128, concurrent_selection_draws_are_each_one_whole_step) {
  xorshift128 replay = selection_random;
  constexpr int threads = 4, draws = 2000;
  std::vector<std::vector<uint32_t>> seen(threads);
  run_together(threads, [&seen](int t) {
    for (int i = 0; i < draws; ++i) seen[t].push_back(next_selection_u32());
  });
  // Whatever the interleaving, the draws are exactly the next threads x draws outputs.
  std::vector<uint32_t> all, expected;
  for (auto& s : seen) all.insert(all.end(), s.begin(), s.end());
  for (int i = 0; i < threads * draws; ++i) expected.push_back(replay.next_u32());
  std::sort(all.begin(), all.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(all, expected);
}

// --- The adaptive sampler ------------------------------------------------------------------------

using sample_vector = std::array<float, 8>;

sample_vector vector_of(const float (&v)[8]) {
  sample_vector out;
  std::copy(v, v + 8, out.begin());
  return out;
}

// The first n numbers of a generator seeded as the sampler seeds it.
std::vector<float> numbers_from_seed(uint32_t seed, int n) {
  xorshift128 g{seed, 362436069, 521288629, 88675123};
  std::vector<float> out;
  for (int i = 0; i < n; ++i) out.push_back(unit_float(g.next_u32()));
  return out;
}

TEST(adaptive_sampler, hands_out_its_vector_then_fresh_numbers_and_replays_the_vector) {
  const std::vector<float> seeded = {0.036890134f, 0.80670023f, 0.25297058f, 0.052245997f,
                                     0.53771603f,  0.34652188f, 0.05196018f, 0.99638283f};
  qorRandom_adaptive sampler(100000);
  EXPECT_TRUE(vector_of(sampler.current) == sample_vector{} && sampler.chain_idle == 1);
  const std::vector<float> fresh = numbers_from_seed(100000, 10);
  std::vector<float> drawn, expected(seeded);
  for (int i = 0; i < 18; ++i) {
    if (i == 9) sampler.restart();  // the vector again; fresh numbers are never replayed
    drawn.push_back(sampler.next_float());
  }
  expected.push_back(fresh[8]);
  expected.insert(expected.end(), seeded.begin(), seeded.end());
  expected.push_back(fresh[9]);
  EXPECT_EQ(drawn, expected);

  // Seeding restarts the generator only: the chain carries on.
  sampler.accept();
  sampler.chain_idle = 0;
  sampler.mutate_head();
  sampler.mutate_tail();
  const qorRandom_adaptive before = sampler;
  sampler.seed(42);
  EXPECT_EQ(vector_of(sampler.proposed), vector_of(before.proposed));
  EXPECT_EQ(vector_of(sampler.current), vector_of(before.current));
  EXPECT_TRUE(sampler.next_index == 8 && sampler.chain_idle == 0);
  EXPECT_TRUE(sampler.head_control.size == before.head_control.size &&
              sampler.tail_control.tried == 1);
  sampler.uniform_proposal();
  const std::vector<float> from_42 = numbers_from_seed(42, 8);
  EXPECT_TRUE(std::equal(from_42.begin(), from_42.end(), sampler.proposed));
}

TEST(adaptive_sampler, mutations_reflect_into_the_unit_interval_and_keep_to_their_dimensions) {
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
  const sample_vector after = vector_of(sampler.proposed);
  EXPECT_TRUE(std::equal(after.begin() + 2, after.end(), fresh.begin() + 2) &&
              after[0] != fresh[0]);
  sampler.mutate_tail();
  EXPECT_TRUE(sampler.proposed[0] == after[0] && sampler.proposed[1] == after[1]);
  for (float p : sampler.proposed) EXPECT_TRUE(p >= 0.0f && p <= 1.0f);
}

TEST(adaptive_sampler, adaptation_rate_is_fixed_for_nine_mutations_then_decays_per_record) {
  qorRandom_adaptive sampler(1);
  mutation_control* controls[2] = {&sampler.head_control, &sampler.tail_control};
  for (mutation_control* control : controls) *control = {1.0f, 0.2f, 8, 1};
  const float ninth = (1.0f - 0.234f) * 0.01f + 0.2f;
  sampler.mutate_head();
  EXPECT_EQ(sampler.head_control.size, ninth);
  sampler.mutate_head();
  EXPECT_EQ(sampler.head_control.size, (1.0f - 0.234f) * 0.02f + ninth);
  sampler.mutate_tail();
  sampler.mutate_tail();
  EXPECT_EQ(sampler.tail_control.size, (1.0f - 0.234f) * 0.01f + ninth);

  // The rate scales sit one ulp below 0.2 and 0.1, which shows at the twelfth mutation.
  const float scales[2] = {std::bit_cast<float>(0x3E4CCCCCu), std::bit_cast<float>(0x3DCCCCCCu)};
  for (int r = 0; r < 2; ++r) {
    *controls[r] = {1.0f, 0.0f, 11, 1};
    r == 0 ? sampler.mutate_head() : sampler.mutate_tail();
    const float expected = (1.0f - 0.234f) * (scales[r] / 12.0f);
    ASSERT_NE(expected, (1.0f - 0.234f) * ((r == 0 ? 0.2f : 0.1f) / 12.0f));
    EXPECT_EQ(controls[r]->size, expected) << r;
  }
}

// Answers each traced path from a script (0 = invisible) and records what the chain asked for.
struct scripted_paths {
  qorRandom_adaptive* sampler;
  std::function<uint32_t(int call, bool uniform)> answer;
  std::vector<bool> uniform_calls = {};
  std::vector<sample_vector> traced_vectors = {};

  uint32_t operator()(bool uniform) {
    uniform_calls.push_back(uniform);
    traced_vectors.push_back(vector_of(sampler->proposed));
    return answer(static_cast<int>(uniform_calls.size()) - 1, uniform);
  }
  int count(bool uniform) const {
    return static_cast<int>(std::count(uniform_calls.begin(), uniform_calls.end(), uniform));
  }
};

// The chain of one job of 50 photons in one pass, for an emitter budget of 4000.
class emission_chain_test : public ::testing::Test {
 protected:
  void SetUp() override { reset_host(); }
  chain_counters run(std::function<uint32_t(int, bool)> answer, int32_t iteration = 1) {
    paths = {&sampler, std::move(answer)};
    return run_emission_chain(sampler, job, 4000, iteration, buffer, paths);
  }

  qorRandom_adaptive sampler{100000};
  emission_job job{nullptr, 0, 50, 1000000, 0, 0, 0, 0, 0, 0};
  photon_path_buffer buffer{};
  scripted_paths paths{nullptr, nullptr};
};

TEST_F(emission_chain_test, the_first_visible_path_restarts_the_step_count_once_per_sampler) {
  chain_counters c = run([](int, bool) { return 0u; }, 0);  // nothing visible: uniform paths only
  EXPECT_TRUE(c.paths_traced == 50 && paths.count(false) == 0);
  EXPECT_EQ(c.uniform_accepted + c.photons_stored + c.mutations_tried + c.mutations_accepted, 0u);

  // Only the uniform path of step 7 is visible; every mutation after it is rejected.
  c = run([](int call, bool uniform) { return uniform && call == 7 ? 3u : 0u; }, 0);
  EXPECT_TRUE(c.paths_traced == 7 + 50 && c.photons_stored == 3 && c.mutations_rejected == 49);
  EXPECT_EQ(buffer.reuse_count, 49u);
  EXPECT_EQ(vector_of(sampler.current), paths.traced_vectors[7]);
  // First iteration: one visible path of 8, against the emitter's budget of 4000.
  EXPECT_EQ(buffer.photon_weight, 1.0f * (1.0f / 4000.0f) / static_cast<float>(8 + 1000));
  // The chain has started: no second restart.
  EXPECT_EQ(run([](int call, bool uniform) { return uniform && call == 0 ? 1u : 0u; }).paths_traced,
            50u);
}

TEST_F(emission_chain_test, mutations_stop_at_the_201st_rejection_until_a_uniform_path_is_visible) {
  job.photons = 400;
  int uniform_seen = 0, mutations_when_revived = 0;
  const chain_counters c = run([&](int, bool uniform) {
    if (!uniform) return 0u;
    if (++uniform_seen == 300) mutations_when_revived = paths.count(false);
    return uniform_seen == 1 || uniform_seen == 300 ? 1u : 0u;
  });
  EXPECT_EQ(mutations_when_revived, 201);
  EXPECT_EQ(c.mutations_tried, 201u + 100u);  // steps 300 to 399 mutate again
  EXPECT_EQ(sampler.chain_idle, 0u);
}

TEST_F(emission_chain_test, every_fourth_step_mutates_the_head_alone_and_credits_its_record) {
  job.photons = 5;
  // Call 0 is visible; after it each step traces a uniform path, invisible, and a mutation.
  const chain_counters c = run([](int call, bool uniform) {
    return call == 0 ? 1u : uniform ? 0u : 2u;
  });
  EXPECT_EQ(c.mutations_accepted, 4u);  // steps 1, 2, 3 head and tail; step 4 the head alone
  EXPECT_EQ(c.photons_stored, 1u + 4u * 2u);
  const sample_vector &uniform = paths.traced_vectors[7], &mutated = paths.traced_vectors[8];
  EXPECT_TRUE(std::equal(mutated.begin() + 2, mutated.end(), uniform.begin() + 2));
  EXPECT_TRUE(sampler.head_control.tried == 4 && sampler.tail_control.tried == 3);
  EXPECT_EQ(sampler.head_control.acceptance, 2.0f / 4.0f);
  EXPECT_EQ(sampler.tail_control.acceptance, 4.0f / 3.0f);
}

TEST_F(emission_chain_test, a_path_kept_from_an_earlier_pass_is_traced_again_at_its_rejection) {
  sampler.chain_started = 1;
  sampler.chain_idle = 0;
  sampler.accept();
  const sample_vector kept = vector_of(sampler.current);
  job.photons = 5;
  job.store_limit = 5;
  const chain_counters c = run([](int call, bool) { return call == 7 ? 6u : 0u; });
  EXPECT_EQ(paths.uniform_calls,
            (std::vector<bool>{true, false, false, true, false, true, false, true, true, false}));
  EXPECT_EQ(paths.traced_vectors[2], kept);
  EXPECT_EQ(c.mutations_rejected, 4u);
  EXPECT_EQ(buffer.reuse_count, 3u);  // the repeat was deposited itself
  // The limit message comes at every step that ends above the limit.
  EXPECT_EQ(host().texts("sprint"),
            std::vector<std::string>(2, "Reached maximum number of photons to store (5)\n"));
}

}  // namespace

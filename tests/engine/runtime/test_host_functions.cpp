// The host services: the task pool and threads, per-thread contexts and storage, aligned memory,
// messages, registration, queries, input, images and frames.
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "engine/runtime/runtime.h"
#include "tests/engine/runtime_test_support.h"

using namespace runtime_test;

namespace {

struct host_bench {
  explicit host_bench(int threads = 3, engine::host_callbacks callbacks = {})
      : engine(empty_scene(), settings(threads), std::move(callbacks)) {}
  qorScene& scene() { return engine.scene(); }
  engine::render_engine engine;
};

// Runs `body`, then `after` (the pool calls finish after run, before it deletes an owned task),
// and counts its deletion.
struct function_task : qorTask {
  explicit function_task(std::function<void()> body, std::function<void()> after = {},
                         std::atomic<int>* deletions = nullptr)
      : body(std::move(body)), after(std::move(after)), deletions(deletions) {}
  ~function_task() override { deletions && ++*deletions; }
  int run() override { return body(), 0; }
  void finish() override { after ? after() : void(); }
  std::function<void()> body, after;
  std::atomic<int>* deletions;
};

// A renderer that records the calls a frame makes of it.
struct recording_renderer : qorImage_sampler, qorIllum_api {
  explicit recording_renderer(const char* name) : own_name(name) {}
  const char* name() override { return own_name; }
  int render(qorScene& scene) override {
    return calls.push_back("render"), qor_stop_requested(scene);
  }
  void setup(qorScene&) override { calls.push_back("setup"); }
  void cleanup() override { calls.push_back("cleanup"); }
  const char* own_name;
  std::vector<std::string> calls;
};

}  // namespace

TEST(host_functions, the_barrier_runs_every_queued_task_once_and_waits_for_all) {
  host_bench bench;
  std::atomic<int> deletions{0};
  std::vector<int> slots(300, 0);
  std::vector<std::unique_ptr<function_task>> kept;
  for (int i = 0; i < 300; ++i) {
    int* slot = &slots[i];
    auto* task = new function_task(
        [slot] {
          std::this_thread::sleep_for(std::chrono::microseconds(200));
          ++*slot;
        },
        [slot] { *slot *= 10; }, i % 2 ? &deletions : nullptr);
    if (i % 2 == 0) kept.emplace_back(task);
    qor_add_thread_task(bench.scene(), task, i % 2 == 1);
  }
  EXPECT_EQ(std::count(slots.begin(), slots.end(), 0), 300);  // queued, not started
  qor_thread_barrier(bench.scene());
  EXPECT_EQ(std::count(slots.begin(), slots.end(), 10), 300);  // run once, then finished
  EXPECT_EQ(deletions.load(), 150);
  qor_thread_barrier(bench.scene());  // nothing queued: returns at once
  EXPECT_EQ(qor_options(bench.scene()).thread_count, 3);
}

// Every thread's context holds its index, the scene, two random sources and the block of
// per-thread storage, at one offset in every context.
TEST(host_functions, thread_contexts_hold_their_index_random_sources_and_storage) {
  host_bench bench(4);
  qorScene& scene = bench.scene();
  const int first = qor_tls_alloc(scene, 100);
  const int second = qor_tls_alloc(scene, 3096);
  EXPECT_EQ(second % 64, 0);
  EXPECT_GE(second, first + 100);

  // Each task opens its own context and writes its index into the slot.
  std::vector<function_task> tasks;
  for (int i = 0; i < 4; ++i) {
    tasks.emplace_back([&scene, i, second] {
      qor_scene_thread_init(scene, i);
      qorRay* ray = qor_get_primary_ray(scene, i, qor_ray_camera);
      auto* block = reinterpret_cast<int*>(reinterpret_cast<char*>(ray->thread) + second);
      for (int k = 0; k < 774; ++k) block[k] = i * 1000 + k;
      ray->delete_ray();
      qor_scene_thread_exit(scene, i);
    });
  }
  for (function_task& t : tasks) qor_add_thread_task(scene, &t, false);
  qor_thread_barrier(scene);
  auto block = [&](int thread) {
    return reinterpret_cast<const int*>(
        reinterpret_cast<const char*>(&scene.context(thread).record) + second);
  };
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(block(i)[0], i * 1000);
    EXPECT_EQ(block(i)[773], i * 1000 + 773);
  }
  qor_tls_free(scene, 2);
  const char* freed = reinterpret_cast<const char*>(scene.context(2).record.storage);
  EXPECT_TRUE(std::all_of(freed, freed + qor_thread_storage_bytes, [](char c) { return c == 0; }));
  EXPECT_EQ(block(3)[5], 3005);

  qor_scene_thread_init(scene, 1);
  qorThread& t = scene.context(1).record;
  EXPECT_EQ(std::pair(t.thread_index, t.scene), std::pair(1, &scene));
  ASSERT_TRUE(t.random2 != nullptr && t.random != t.random2);
  // Seeding repeats a source's numbers, which lie in [0, 1) (their spread shows in every image).
  std::vector<float> draws[2];
  for (std::vector<float>& d : draws) {
    t.random->seed(77);
    for (int i = 0; i < 10000; ++i) d.push_back(t.random->next_float());
  }
  EXPECT_EQ(draws[0], draws[1]);
  EXPECT_TRUE(
      std::all_of(draws[0].begin(), draws[0].end(), [](float u) { return u >= 0 && u < 1; }));
  EXPECT_EQ(scene.context(7).record.thread_index, 7);  // made on demand beyond the pool's
}

TEST(host_functions, messages_arrive_whole_with_their_kind) {
  message_log log;
  host_bench bench(2, log.callbacks());
  log.messages.clear();  // the engine's own, of the empty scene
  // Four threads at once, each line long enough to be written in pieces if it were not whole.
  const std::string tail = " with a long enough tail " + std::string(68, '.') + "\n";
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &tail] {
      for (int i = 0; i < 200; ++i) qor_warning("thread %d%s", t, tail.c_str());
    });
  }
  for (std::thread& t : threads) t.join();
  using kind = engine::message_kind;
  for (int t = 0; t < 4; ++t) {
    const std::pair whole(kind::warning, "thread " + std::to_string(t) + tail);
    EXPECT_EQ(std::count(log.messages.begin(), log.messages.end(), whole), 200) << t;
  }
  log.messages.clear();
  const std::string long_text(5000, 'x');
  qor_sprint("[%d] progress\n", 3);
  qor_info("%s\n", long_text.c_str());
  qor_error("error %d\n", 1);
  qor_critical("critical\n");
  EXPECT_EQ(log.messages,
            (std::vector<std::pair<kind, std::string>>{{kind::progress, "[3] progress\n"},
                                                       {kind::info, long_text + "\n"},
                                                       {kind::error, "error 1\n"},
                                                       {kind::critical, "critical\n"}}));
}

TEST(host_functions, registration_and_frames) {
  host_bench bench(1);
  qorScene& scene = bench.scene();
  EXPECT_TRUE(qor_check_signature(scene, qor_interface_banner));
  EXPECT_FALSE(qor_check_signature(scene, "qor host interface 2.7 (options 512)"));

  recording_renderer a("ppm"), b("other");
  qor_add_image_sampler(scene, &b);
  qor_add_image_sampler(scene, &a);
  EXPECT_EQ(qor_find_image_sampler(scene, "ppm"), &a);
  EXPECT_EQ(qor_find_image_sampler(scene, "missing"), nullptr);
  qor_add_renderer(scene, "ppm", &a, &a);
  EXPECT_THROW(bench.engine.render_frame("nope"), std::runtime_error);

  qor_tls_alloc(scene, 5000);
  EXPECT_EQ(bench.engine.render_frame("ppm"), 0);
  EXPECT_EQ(a.calls, (std::vector<std::string>{"setup", "render", "cleanup"}));
  // Every frame hands per-thread storage out afresh.
  EXPECT_EQ(qor_tls_alloc(scene, 3096), qor_thread_storage_offset);
  bench.engine.request_stop();
  EXPECT_EQ(bench.engine.render_frame("ppm"), 1);
}

// With pixel strata the renderer works on an image k times the film's each way; the program gets
// the film's image, each pixel the mean of its k x k samples, whether shown or output.
TEST(host_functions, supersampled_blocks_reach_the_program_at_the_film_s_size) {
  for (int strata : {1, 2, 3}) {
    std::vector<std::vector<float>> received;  // each block's pixels
    std::vector<std::array<int, 4>> headers;
    engine::host_callbacks callbacks;
    auto keep = [&](const qorImage_block& b) {
      headers.push_back({b.x0, b.y0, b.width, b.height});
      received.emplace_back(b.pixels(), b.pixels() + 3 * b.width * b.height);
    };
    callbacks.show_block = keep;
    callbacks.output_block = keep;
    engine::engine_settings with = settings(1);
    with.pixel_strata = strata;
    with.crop[0] = 1, with.crop[1] = 0, with.crop[2] = 3, with.crop[3] = 1;
    engine::render_engine engine(empty_scene(3, 2), with, std::move(callbacks));
    const qorOptions& o = engine.options();
    EXPECT_EQ((std::array{o.width, o.height}), (std::array{3 * strata, 2 * strata}));
    EXPECT_EQ((std::array{o.region_x0, o.region_y0, o.region_x1, o.region_y1}),
              (std::array{strata, 0, 3 * strata, strata}));
    EXPECT_EQ(qor_camera_get(engine.scene())->width, 3 * strata);

    const int w = 3 * strata, h = 2 * strata;
    std::vector<float> storage(qorImage_block::bytes(w, h) / 4);
    auto& block = *reinterpret_cast<qorImage_block*>(storage.data());
    block = {0, 0, w, h};
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c)
          block.pixels()[3 * (y * w + x) + c] = float(x + 10 * y + 100 * c);
    qor_show_block(engine.scene(), &block);
    qor_output_block(engine.scene(), &block);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0], received[1]);
    EXPECT_EQ(headers[1], (std::array{0, 0, 3, 2}));
    // Film pixel (x, y) averages sample columns x k .. x k + k - 1 and rows likewise.
    const float centre = (strata - 1) / 2.0f;
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 3; ++x)
        for (int c = 0; c < 3; ++c)
          EXPECT_FLOAT_EQ(received[1][3 * (y * 3 + x) + c],
                          x * strata + centre + 10 * (y * strata + centre) + 100 * c)
              << strata << " strata, pixel " << x << "," << y << ", channel " << c;
  }
  engine::engine_settings five = settings(1);
  five.pixel_strata = 5;
  EXPECT_THROW(engine::render_engine(empty_scene(), five, {}), std::runtime_error);
}

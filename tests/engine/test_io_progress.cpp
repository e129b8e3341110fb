#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "engine/io/console.h"
#include "engine/io/render_progress.h"

namespace {

using engine::message_kind;
using engine::io::console;
using engine::io::render_progress;
using engine::io::verbosity;

TEST(render_progress, reads_iterations_and_photons_from_the_renderers_lines) {
  render_progress progress(10, 0);
  progress.start(100.0);
  EXPECT_EQ(progress.iteration_in_progress(), 1);
  progress.observe("Created 100 photon emission jobs (Emitting 200000 photons)\n", 100.5);
  progress.observe("[1] Build ppm structure 4096 / 0 points (0.0 seconds)\n", 101.0);
  progress.observe("[1] Photon tracing (1.2 seconds)\n", 102.0);
  EXPECT_EQ(progress.iteration_in_progress(), 1);  // still the first, until it has finished
  progress.observe("[1] Elapsed time 0 minutes 2.0 seconds\n", 102.0);
  EXPECT_EQ(progress.iteration_in_progress(), 2);
  progress.observe("[2] Elapsed time 0 minutes 4.0 seconds\n", 104.0);

  const auto p = progress.at(105.0);
  EXPECT_EQ(p.iteration, 2);
  EXPECT_EQ(p.iteration_limit, 10);
  EXPECT_EQ(p.photons_per_pass, 200000u);
  EXPECT_DOUBLE_EQ(p.elapsed, 5.0);
  ASSERT_TRUE(p.photons_per_second);
  EXPECT_DOUBLE_EQ(*p.photons_per_second, 2 * 200000 / 4.0);
  // 8 iterations of 2 seconds left, one second of which has already passed.
  ASSERT_TRUE(p.seconds_left);
  EXPECT_DOUBLE_EQ(*p.seconds_left, 15.0);
}

TEST(render_progress, other_lines_and_look_alikes_change_nothing) {
  render_progress progress(0, 0);
  progress.start(0.0);
  for (const char* line :
       {"[3] Visualize 0\n", "Elapsed time 3\n", "[x] Elapsed time\n", "[4]Elapsed time\n",
        "Using 2 threads\n", "warning text [5] Elapsed time"}) {
    progress.observe(line, 1.0);
  }
  const auto p = progress.at(2.0);
  EXPECT_EQ(p.iteration, 0);
  EXPECT_EQ(p.iterations_run, 0);
  EXPECT_FALSE(p.photons_per_second);
  EXPECT_FALSE(p.seconds_left);  // no limit of either kind
}

TEST(render_progress, a_reset_restarts_the_shown_count_but_not_the_scripts_clock) {
  render_progress progress(4, 0);
  progress.start(0.0);
  progress.observe("[1] Elapsed time 0 minutes 1.0 seconds\n", 1.0);
  progress.observe("[2] Elapsed time 0 minutes 2.0 seconds\n", 2.0);
  progress.observe("Reset points\n", 2.5);
  EXPECT_EQ(progress.at(2.5).iteration, 0);
  progress.observe("[1] Elapsed time 0 minutes 3.0 seconds\n", 3.0);
  const auto p = progress.at(3.0);
  EXPECT_EQ(p.iteration, 1);
  EXPECT_EQ(p.iterations_run, 3);
  EXPECT_EQ(progress.iteration_in_progress(), 4);
  ASSERT_TRUE(p.seconds_left);
  EXPECT_DOUBLE_EQ(*p.seconds_left, 3.0);  // three more, a second each
}

TEST(render_progress, a_time_limit_bounds_the_time_left) {
  render_progress unlimited(0, 30.0);
  unlimited.start(10.0);
  ASSERT_TRUE(unlimited.at(22.0).seconds_left);
  EXPECT_DOUBLE_EQ(*unlimited.at(22.0).seconds_left, 18.0);
  EXPECT_DOUBLE_EQ(*unlimited.at(50.0).seconds_left, 0.0);

  render_progress limited(1000, 30.0);
  limited.start(0.0);
  limited.observe("[1] Elapsed time 0 minutes 1.0 seconds\n", 1.0);
  EXPECT_DOUBLE_EQ(*limited.at(1.0).seconds_left, 29.0);  // not the 999 s of iterations
}

TEST(progress_line, shows_iteration_rate_elapsed_time_and_eta) {
  engine::io::progress_snapshot p;
  p.iteration = 12;
  p.iteration_limit = 64;
  p.elapsed = 75.2;
  p.photons_per_second = 1.25e6;
  p.seconds_left = 3725.4;
  EXPECT_EQ(engine::io::progress_line(p),
            "iteration 12/64  1.25M photons/s  elapsed 1:15  ETA 1:02:06");
  p.iteration_limit = 0;
  p.photons_per_second = 5300;
  p.seconds_left.reset();
  EXPECT_EQ(engine::io::progress_line(p), "iteration 12  5.3k photons/s  elapsed 1:15  ETA --");
}

TEST(format_duration, minutes_and_hours) {
  EXPECT_EQ(engine::io::format_duration(0), "0:00");
  EXPECT_EQ(engine::io::format_duration(59.9), "0:59");
  EXPECT_EQ(engine::io::format_duration(61), "1:01");
  EXPECT_EQ(engine::io::format_duration(3600), "1:00:00");
  EXPECT_EQ(engine::io::format_duration(-5), "0:00");
}

// A console writing into memory.
struct captured_console {
  explicit captured_console(verbosity level)
      : stream(open_memstream(&buffer, &size)), out(std::make_unique<console>(level, stream)) {}
  ~captured_console() {
    out.reset();
    std::fclose(stream);
    std::free(buffer);
  }
  std::string text() {
    std::fflush(stream);
    return std::string(buffer, size);
  }
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* stream;
  std::unique_ptr<console> out;
};

TEST(console, verbosity_filters_progress_and_information_but_never_warnings_or_errors) {
  const struct {
    verbosity level;
    const char* expected;
  } cases[] = {
      {verbosity::quiet, "warning: w\nerror: e\nerror: c\n"},
      {verbosity::normal, "i\nwarning: w\nerror: e\nerror: c\n"},
      {verbosity::verbose, "p\ni\nwarning: w\nerror: e\nerror: c\n"},
  };
  for (const auto& c : cases) {
    captured_console capture(c.level);
    capture.out->message(message_kind::progress, "p\n");
    capture.out->message(message_kind::info, "i\n");
    capture.out->message(message_kind::warning, "w\n");
    capture.out->message(message_kind::error, "e\n");
    capture.out->message(message_kind::critical, "c\n");
    EXPECT_EQ(capture.text(), c.expected);
  }
}

TEST(console, a_line_in_pieces_is_printed_whole_once_it_ends) {
  captured_console capture(verbosity::verbose);
  capture.out->message(message_kind::progress, "Smoothing ");
  capture.out->message(message_kind::progress, "+");
  EXPECT_EQ(capture.text(), "");
  capture.out->message(message_kind::warning, "Too many photon lights\n");
  capture.out->message(message_kind::progress, "+\nnext\n");
  EXPECT_EQ(capture.text(), "warning: Too many photon lights\nSmoothing ++\nnext\n");
}

TEST(console, the_status_line_stays_below_the_messages) {
  captured_console capture(verbosity::normal);
  int calls = 0;
  capture.out->show_status([&] { return "status " + std::to_string(++calls); });
  capture.out->message(message_kind::info, "[1] Elapsed time\n");
  capture.out->finish_status();
  capture.out->message(message_kind::warning, "late\n");
  EXPECT_EQ(capture.text(),
            "\r\033[Kstatus 1"                            // drawn when shown
            "\r\033[K[1] Elapsed time\n\r\033[Kstatus 2"  // erased, the line, drawn again
            "\r\033[Kstatus 3\n"                          // the last state, kept
            "warning: late\n");
}

}  // namespace

#include <cstdio>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "engine/io/console.h"
#include "engine/io/render_progress.h"

namespace {

using engine::message_kind;
using engine::io::console;
using engine::io::render_progress;
using engine::io::verbosity;

TEST(render_progress, reads_iterations_photons_and_resets_from_the_renderers_lines) {
  render_progress progress(10, 0);
  progress.start(100.0);
  progress.observe("Created 100 photon emission jobs (Emitting 200000 photons)\n", 100.5);
  progress.observe("[1] Photon tracing (1.2 seconds)\n", 102.0);
  EXPECT_EQ(progress.iteration_in_progress(), 1);  // until the first has finished
  progress.observe("[1] Elapsed time 0 minutes 2.0 seconds\n", 102.0);
  progress.observe("[2] Elapsed time 0 minutes 4.0 seconds\n", 104.0);
  for (const char* look_alike : {"[3] Visualize 0\n", "Elapsed time 3\n", "[x] Elapsed time\n",
                                 "[4]Elapsed time\n", "text [5] Elapsed time\n"})
    progress.observe(look_alike, 104.0);
  // 2 x 200000 photons in 4 s; 8 iterations of 2 s left, one second of them already spent.
  auto p = progress.at(105.0);
  EXPECT_EQ(std::tuple(p.iteration, p.photons_per_pass, p.elapsed, *p.photons_per_second,
                       *p.seconds_left),
            std::tuple(2, uint64_t(200000), 5.0, 100000.0, 15.0));

  // A reset restarts the shown count, not the count scripted keys wait for.
  progress.observe("Reset points\n", 105.0);
  progress.observe("[1] Elapsed time 0 minutes 6.0 seconds\n", 106.0);
  p = progress.at(106.0);
  EXPECT_EQ(
      std::tuple(p.iteration, p.iterations_run, progress.iteration_in_progress(), *p.seconds_left),
      std::tuple(1, 3, 4, 9 * 2.0));
}

TEST(render_progress, a_time_limit_bounds_the_time_left) {
  render_progress unlimited(0, 30.0);
  unlimited.start(10.0);
  EXPECT_FALSE(unlimited.at(11.0).photons_per_second);
  EXPECT_DOUBLE_EQ(*unlimited.at(22.0).seconds_left, 18.0);
  EXPECT_DOUBLE_EQ(*unlimited.at(50.0).seconds_left, 0.0);
  render_progress limited(1000, 30.0);
  limited.start(0.0);
  limited.observe("[1] Elapsed time 0 minutes 1.0 seconds\n", 1.0);
  EXPECT_DOUBLE_EQ(*limited.at(1.0).seconds_left, 29.0);  // not the 999 s of iterations
  EXPECT_FALSE(render_progress(0, 0).at(5.0).seconds_left);
}

// Read after the console is gone, so nothing may be left for its destructor to print.
TEST(console, lines_in_pieces_print_whole_and_the_status_line_stays_below) {
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* stream = open_memstream(&buffer, &size);
  int calls = 0;  // outlives the console, which may call the status function until it ends
  {
    console out(verbosity::verbose, stream);
    out.message(message_kind::progress, "Smoothing ");
    out.message(message_kind::progress, "+");
    out.message(message_kind::warning, "Too many photon lights\n");
    out.message(message_kind::progress, "+\n");
    out.show_status([&] { return "status " + std::to_string(++calls); });
    out.message(message_kind::info, "[1] Elapsed time\n");
    out.finish_status();
    out.message(message_kind::warning, "late\n");
  }
  std::fclose(stream);
  EXPECT_EQ(std::string(buffer, size),
            "warning: Too many photon lights\nSmoothing ++\n"
            "\r\033[Kstatus 1"                            // drawn when shown
            "\r\033[K[1] Elapsed time\n\r\033[Kstatus 2"  // erased, the line, drawn again
            "\r\033[Kstatus 3\n"                          // the last state, kept
            "warning: late\n");
  std::free(buffer);
}

}  // namespace

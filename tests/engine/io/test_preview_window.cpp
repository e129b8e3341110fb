// The preview window needs a display: these tests skip without one. CTest runs them under Xvfb
// when xvfb-run is installed.
#include <cstdlib>
#include <vector>

#include <SDL.h>
#include <gtest/gtest.h>

#include "engine/io/preview_window.h"
#include "tests/engine/io/io_test_util.h"

namespace {

using engine::io::input_events;
using engine::io::preview_window;
using rgb = std::vector<int>;

using test_support::test_image;

struct capture {
  explicit capture(preview_window& window) { ok = window.capture(pixels, width, height); }
  rgb at(int x, int y) const {
    const unsigned char* p = pixels.data() + 3 * (size_t(y) * width + x);
    return {p[0], p[1], p[2]};
  }
  bool ok = false;
  std::vector<unsigned char> pixels;
  int width = 0, height = 0;
};

TEST(preview_window, shows_blocks_in_srgb_scaled_to_fit_and_passes_keys_and_closing_on) {
  if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no display";
  input_events events;
  preview_window window(events, "qor-render test");
  EXPECT_FALSE(capture(window).ok);  // nothing shown yet

  // Left half linear 0.25 red (0.5 after the display scale), right half over-bright green.
  test_image image(64, 32);
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 64; ++x) image.pixel(x, y)[x < 32 ? 0 : 1] = x < 32 ? 0.25f : 4.0f;
  window.show(image.block(), 2.0f);
  const capture first(window);
  ASSERT_TRUE(first.ok);
  ASSERT_EQ(std::pair(first.width, first.height), std::pair(64, 32));  // sized by the first block
  EXPECT_EQ(first.at(8, 16), (rgb{188, 0, 0}));
  EXPECT_EQ(first.at(56, 16), (rgb{0, 255, 0}));

  // A square block fills the same window's height, with black bars at the sides.
  test_image tall(16, 16, 1.0f);
  window.show(tall.block(), 1.0f);
  const capture second(window);
  ASSERT_TRUE(second.ok);
  ASSERT_EQ(second.width, 64);
  EXPECT_EQ(second.at(20, 16), (rgb{255, 255, 255}));  // the block spans x = 16 to 47
  EXPECT_EQ(second.at(2, 16), (rgb{0, 0, 0}));

  // Events pushed into SDL's queue are read by the window's thread like real ones.
  SDL_Event text{};
  text.type = SDL_TEXTINPUT;
  text.text.text[0] = '3';
  ASSERT_EQ(SDL_PushEvent(&text), 1);
  qorOutput_event event{};
  bool got = false;
  for (int i = 0; i < 200 && !(got = events.next(event)); ++i) SDL_Delay(5);
  ASSERT_TRUE(got);
  EXPECT_EQ(std::pair(event.type, event.key), std::pair(uint32_t(qor_event_key), uint32_t('3')));

  SDL_Event quit{};
  quit.type = SDL_QUIT;
  ASSERT_EQ(SDL_PushEvent(&quit), 1);
  for (int i = 0; i < 200 && !events.end_requested(); ++i) SDL_Delay(5);
  EXPECT_TRUE(events.end_requested());
}

}  // namespace

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

TEST(preview_window, shows_blocks_in_srgb_scaled_to_fit_and_passes_keys_and_closing_on) {
  if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no display";
  input_events events;
  preview_window window(events, "qor-render test");
  // What the window shows, read back.
  std::vector<unsigned char> shown;
  int width = 0, height = 0;
  const auto at = [&](int x, int y) {
    const unsigned char* p = shown.data() + 3 * (size_t(y) * width + x);
    return rgb{p[0], p[1], p[2]};
  };
  EXPECT_FALSE(window.capture(shown, width, height));  // nothing shown yet

  // Left half linear 0.25 red (0.5 after the display scale), right half over-bright green.
  test_image image(64, 32);
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 64; ++x) image.pixel(x, y)[x < 32 ? 0 : 1] = x < 32 ? 0.25f : 4.0f;
  window.show(image.block(), 2.0f);
  ASSERT_TRUE(window.capture(shown, width, height));
  ASSERT_EQ(std::pair(width, height), std::pair(64, 32));  // sized by the first block
  EXPECT_EQ(at(8, 16), (rgb{188, 0, 0}));
  EXPECT_EQ(at(56, 16), (rgb{0, 255, 0}));

  // A square block fills the same window's height, with black bars at the sides.
  window.show(test_image(16, 16, 1.0f).block(), 1.0f);
  ASSERT_TRUE(window.capture(shown, width, height));
  ASSERT_EQ(width, 64);
  EXPECT_EQ(at(20, 16), (rgb{255, 255, 255}));  // the block spans x = 16 to 47
  EXPECT_EQ(at(2, 16), (rgb{0, 0, 0}));

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

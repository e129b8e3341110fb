// The preview window needs a display: these tests skip without one. CTest runs them under Xvfb
// when xvfb-run is installed.
#include <cstdlib>
#include <vector>

#include <SDL.h>
#include <gtest/gtest.h>

#include "engine/io/preview_window.h"

namespace {

using engine::io::input_events;
using engine::io::preview_window;

bool have_display() {
  return std::getenv("DISPLAY") != nullptr;
}

struct block_storage {
  block_storage(int width, int height) : values(qorImage_block::bytes(width, height) / 4) {
    block().width = width;
    block().height = height;
  }
  qorImage_block& block() { return *reinterpret_cast<qorImage_block*>(values.data()); }
  std::vector<float> values;
};

// The RGB code at (x, y) of a capture.
std::vector<int> at(const std::vector<unsigned char>& rgb, int width, int x, int y) {
  const unsigned char* p = rgb.data() + 3 * (size_t(y) * width + x);
  return {p[0], p[1], p[2]};
}

TEST(preview_window, shows_the_block_in_srgb_with_the_display_scale) {
  if (!have_display()) GTEST_SKIP() << "no display";
  input_events events;
  preview_window window(events, "qor-render test");
  std::vector<unsigned char> rgb;
  int width = 0, height = 0;
  EXPECT_FALSE(window.capture(rgb, width, height));  // nothing shown yet

  // Left half linear 0.25 red (0.5 after the scale), right half over-bright green.
  block_storage image(64, 32);
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 64; ++x) {
      float* p = image.block().pixels() + 3 * (y * 64 + x);
      p[0] = x < 32 ? 0.25f : 0.0f;
      p[1] = x < 32 ? 0.0f : 4.0f;
      p[2] = 0.0f;
    }
  }
  window.show(image.block(), 2.0f);
  ASSERT_TRUE(window.capture(rgb, width, height));
  ASSERT_EQ(width, 64);
  ASSERT_EQ(height, 32);
  EXPECT_EQ(at(rgb, width, 8, 16), (std::vector<int>{188, 0, 0}));
  EXPECT_EQ(at(rgb, width, 56, 16), (std::vector<int>{0, 255, 0}));
}

TEST(preview_window, a_new_size_is_shown_whole_inside_the_window) {
  if (!have_display()) GTEST_SKIP() << "no display";
  input_events events;
  preview_window window(events, "qor-render test");
  block_storage first(40, 40);
  window.show(first.block(), 1.0f);
  std::vector<unsigned char> rgb;
  int width = 0, height = 0;
  ASSERT_TRUE(window.capture(rgb, width, height));

  // A wider block in the same window: scaled to fit, with bars above and below.
  block_storage wide(80, 20);
  for (int i = 0; i < 80 * 20 * 3; ++i) wide.block().pixels()[i] = 1.0f;
  window.show(wide.block(), 1.0f);
  ASSERT_TRUE(window.capture(rgb, width, height));
  ASSERT_EQ(width, 40);
  ASSERT_EQ(height, 40);
  EXPECT_EQ(at(rgb, width, 20, 20), (std::vector<int>{255, 255, 255}));  // the image
  EXPECT_EQ(at(rgb, width, 20, 2), (std::vector<int>{0, 0, 0}));         // a bar
}

TEST(preview_window, keys_and_closing_the_window_reach_the_renderer) {
  if (!have_display()) GTEST_SKIP() << "no display";
  input_events events;
  preview_window window(events, "qor-render test");
  block_storage image(16, 16);
  window.show(image.block(), 1.0f);
  std::vector<unsigned char> rgb;
  int width = 0, height = 0;
  ASSERT_TRUE(window.capture(rgb, width, height));  // the window exists now

  // Events pushed into SDL's queue are read by the window's thread like real ones.
  SDL_Event text{};
  text.type = SDL_TEXTINPUT;
  text.text.text[0] = '3';
  ASSERT_EQ(SDL_PushEvent(&text), 1);
  qorOutput_event event{};
  bool got = false;
  for (int i = 0; i < 200 && !(got = events.next(event)); ++i) SDL_Delay(5);
  ASSERT_TRUE(got);
  EXPECT_EQ(event.type, qor_event_key);
  EXPECT_EQ(event.key, uint32_t('3'));

  SDL_Event quit{};
  quit.type = SDL_QUIT;
  ASSERT_EQ(SDL_PushEvent(&quit), 1);
  for (int i = 0; i < 200 && !events.end_requested(); ++i) SDL_Delay(5);
  EXPECT_TRUE(events.end_requested());
}

TEST(preview_window, without_a_display_it_fails_with_a_clear_error) {
  const char* display = std::getenv("DISPLAY");
  const std::string saved = display ? display : "";
  setenv("DISPLAY", ":9876", 1);  // nothing listens there
  const char* driver = std::getenv("SDL_VIDEODRIVER");
  const std::string saved_driver = driver ? driver : "";
  setenv("SDL_VIDEODRIVER", "x11", 1);
  input_events events;
  try {
    preview_window window(events, "qor-render test");
    ADD_FAILURE() << "opened a window without a display";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("cannot open the preview window"), std::string::npos)
        << error.what();
  }
  if (display)
    setenv("DISPLAY", saved.c_str(), 1);
  else
    unsetenv("DISPLAY");
  if (driver)
    setenv("SDL_VIDEODRIVER", saved_driver.c_str(), 1);
  else
    unsetenv("SDL_VIDEODRIVER");
}

}  // namespace

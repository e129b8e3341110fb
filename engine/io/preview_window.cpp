#include "engine/io/preview_window.h"

#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "engine/io/image_file.h"

namespace engine::io {

namespace {

// The window a first block opens: the image's size, shrunk to fit the screen with its aspect.
void initial_window_size(int image_width, int image_height, int& width, int& height) {
  width = image_width;
  height = image_height;
  SDL_Rect usable;
  if (SDL_GetDisplayUsableBounds(0, &usable) != 0) return;
  const double fit = std::min({1.0, 0.9 * usable.w / image_width, 0.9 * usable.h / image_height});
  width = std::max(1, int(image_width * fit));
  height = std::max(1, int(image_height * fit));
}

}  // namespace

preview_window::preview_window(input_events& events, std::string title) : events_(events) {
  thread_ = std::thread([this, title = std::move(title)] { run(title); });
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return started_; });
  if (!start_error_.empty()) {
    lock.unlock();
    thread_.join();
    throw std::runtime_error("cannot open the preview window: " + start_error_);
  }
}

preview_window::~preview_window() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void preview_window::show(const qorImage_block& block, float display_scale) {
  if (block.width <= 0 || block.height <= 0) return;
  const size_t values = size_t(3) * block.width * block.height;
  std::vector<unsigned char> encoded(values);
  const float* pixels = block.pixels();
  for (size_t i = 0; i < values; ++i) encoded[i] = srgb8_from_linear(pixels[i] * display_scale);
  std::lock_guard lock(mutex_);
  frame_ = std::move(encoded);
  frame_width_ = block.width;
  frame_height_ = block.height;
  ++frame_serial_;
}

bool preview_window::capture(std::vector<unsigned char>& rgb, int& width, int& height) {
  std::unique_lock lock(mutex_);
  if (frame_serial_ == 0) return false;
  capture_requested_ = true;
  capture_done_ = false;
  if (!changed_.wait_for(lock, std::chrono::seconds(10), [this] { return capture_done_; })) {
    capture_requested_ = false;
    return false;
  }
  rgb = std::move(capture_rgb_);
  width = capture_width_;
  height = capture_height_;
  return capture_ok_;
}

void preview_window::run(std::string title) {
  // Left to itself SDL falls back to an offscreen driver, and the window would open where nobody
  // sees it. A driver the user names in SDL_VIDEODRIVER is taken as asked.
  if (std::getenv("SDL_VIDEODRIVER") == nullptr) SDL_SetHint(SDL_HINT_VIDEODRIVER, "x11,wayland");
  if (SDL_Init(SDL_INIT_VIDEO) != 0) {
    std::lock_guard lock(mutex_);
    start_error_ = std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr
                       ? std::string("no display (DISPLAY is not set)")
                       : std::string(SDL_GetError());
    SDL_Quit();  // what the failed start set up
    started_ = true;
    changed_.notify_all();
    return;
  }
  {
    std::lock_guard lock(mutex_);
    started_ = true;
  }
  changed_.notify_all();

  SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "linear");
  // The software renderer draws into the window's own X framebuffer, not a GL texture.
  SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
  SDL_Window* window = nullptr;
  SDL_Renderer* renderer = nullptr;
  SDL_Texture* texture = nullptr;
  int texture_width = 0, texture_height = 0;
  uint64_t drawn_serial = 0;

  auto present = [&] {
    SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
    SDL_RenderClear(renderer);
    if (texture != nullptr) SDL_RenderCopy(renderer, texture, nullptr, nullptr);
  };

  while (true) {
    bool redraw = false;
    SDL_Event event;
    if (SDL_WaitEventTimeout(&event, 20) != 0) {
      do {
        switch (event.type) {
          case SDL_QUIT:
            events_.request_end();
            break;
          case SDL_WINDOWEVENT:
            if (event.window.event == SDL_WINDOWEVENT_CLOSE) events_.request_end();
            redraw = true;
            break;
          case SDL_KEYDOWN:
            if (event.key.keysym.sym == SDLK_ESCAPE) events_.type_key(27);
            break;
          case SDL_TEXTINPUT: {
            // Printable keys arrive here, already shifted; only single ASCII characters mean
            // anything to the renderer.
            const unsigned char c = static_cast<unsigned char>(event.text.text[0]);
            if (c > ' ' && c < 127 && event.text.text[1] == '\0') events_.type_key(c);
            break;
          }
          default:
            break;
        }
      } while (SDL_PollEvent(&event) != 0);
    }

    std::unique_lock lock(mutex_);
    if (stopping_) break;
    if (frame_serial_ != drawn_serial) {
      if (window == nullptr) {
        int width, height;
        initial_window_size(frame_width_, frame_height_, width, height);
        window = SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED,
                                  width, height, SDL_WINDOW_RESIZABLE);
        if (window != nullptr) {
          // Scaling one image needs no GPU; the software renderer works on any X server,
          // Xvfb included, and keeps OpenGL drivers out of the process.
          renderer = SDL_CreateRenderer(window, -1, SDL_RENDERER_SOFTWARE);
          if (renderer == nullptr) renderer = SDL_CreateRenderer(window, -1, 0);
        }
        if (renderer == nullptr) {
          events_.request_end();  // a render nobody can see or stop would go on unseen
          stopping_ = true;
          break;
        }
      }
      if (texture == nullptr || texture_width != frame_width_ || texture_height != frame_height_) {
        if (texture != nullptr) SDL_DestroyTexture(texture);
        texture = SDL_CreateTexture(renderer, SDL_PIXELFORMAT_RGB24, SDL_TEXTUREACCESS_STREAMING,
                                    frame_width_, frame_height_);
        texture_width = frame_width_;
        texture_height = frame_height_;
        // Scales the image to fit the window, keeping its aspect, with black bars.
        SDL_RenderSetLogicalSize(renderer, frame_width_, frame_height_);
      }
      SDL_UpdateTexture(texture, nullptr, frame_.data(), 3 * frame_width_);
      drawn_serial = frame_serial_;
      redraw = true;
    }
    if (renderer == nullptr) continue;
    if (capture_requested_ && drawn_serial == frame_serial_) {
      present();
      // Read the whole window, bars included: under a logical size the read is clipped to the
      // image's own viewport.
      SDL_RenderSetLogicalSize(renderer, 0, 0);
      SDL_RenderSetViewport(renderer, nullptr);
      int width = 0, height = 0;
      SDL_GetRendererOutputSize(renderer, &width, &height);
      capture_rgb_.assign(size_t(3) * width * height, 0);
      capture_ok_ = SDL_RenderReadPixels(renderer, nullptr, SDL_PIXELFORMAT_RGB24,
                                         capture_rgb_.data(), 3 * width) == 0;
      SDL_RenderSetLogicalSize(renderer, texture_width, texture_height);
      capture_width_ = width;
      capture_height_ = height;
      capture_requested_ = false;
      capture_done_ = true;
      SDL_RenderPresent(renderer);
      lock.unlock();
      changed_.notify_all();
      continue;
    }
    lock.unlock();
    if (redraw) {
      present();
      SDL_RenderPresent(renderer);
    }
  }

  if (texture != nullptr) SDL_DestroyTexture(texture);
  if (renderer != nullptr) SDL_DestroyRenderer(renderer);
  if (window != nullptr) SDL_DestroyWindow(window);
  SDL_Quit();
}

}  // namespace engine::io

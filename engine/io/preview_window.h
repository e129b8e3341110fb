// The preview window: the latest block the renderer showed, in sRGB, scaled to fit a resizable
// window. Its keys and its close button feed an input_events queue.
//
// SDL runs on a thread of the window's own, so the window repaints, resizes and answers its close
// button while the renderer is busy between output steps.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/io/input_events.h"
#include "host/records.h"

namespace engine::io {

class preview_window {
 public:
  // Throws std::runtime_error when no window can be opened (no display, no video driver).
  preview_window(input_events& events, std::string title);
  ~preview_window();
  preview_window(const preview_window&) = delete;
  preview_window& operator=(const preview_window&) = delete;

  // Copies the block (any thread); the window shows it at its next frame. The first block sizes
  // the window.
  void show(const qorImage_block& block, float display_scale);

  // Reads back what the window shows once the latest block is on screen: 8-bit RGB, the window's
  // size in pixels, rows from the top. False when no block has been shown or the read failed.
  bool capture(std::vector<unsigned char>& rgb, int& width, int& height);

 private:
  void run(std::string title);

  input_events& events_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool started_ = false;
  std::string start_error_;
  bool stopping_ = false;

  // The latest shown block, already in 8-bit sRGB; `frame_serial_` counts blocks shown.
  std::vector<unsigned char> frame_;
  int frame_width_ = 0, frame_height_ = 0;
  uint64_t frame_serial_ = 0;
  uint64_t presented_serial_ = 0;

  bool capture_requested_ = false;
  bool capture_done_ = false;
  bool capture_ok_ = false;
  std::vector<unsigned char> capture_rgb_;
  int capture_width_ = 0, capture_height_ = 0;
};

}  // namespace engine::io

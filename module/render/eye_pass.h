// The eye pass: one camera ray per pixel of the render region on every host worker thread, with
// the iteration's sub-pixel jitter, and the running mean of the host's shading in the framebuffer.
#pragma once

#include <cstdint>

#include "host/qor.h"

class qorPPM;

// The eye-pass work of one worker thread, packaged for the host's task pool. The pass builds the
// tasks in a stack block of its own and never destroys them, so the destructor must stay empty.
class thread_task final : public qorTask {
 public:
  thread_task(qorPPM* renderer_in, qorScene* scene_in, int32_t thread_index_in)
      : renderer(renderer_in), scene(scene_in), thread_index(thread_index_in) {}
  ~thread_task() override {}
  int run() override;
  void finish() override {}

  qorPPM* renderer;
  qorScene* scene;
  int32_t thread_index;  // 0 .. threads - 1
};

// Sub-pixel offsets in the unit disc, entry k for iteration k - 1 (entry 0 is unused). Each prefix
// of the table is evenly spread, so a pixel's samples cover it however many iterations run.
inline constexpr int pixel_offset_count = 256;
struct pixel_offset {
  float x, y;
};
extern const pixel_offset pixel_offsets[pixel_offset_count];

// The jitter of one pass, in pixels from the pixel's corner: (0.5, 0.5) is its centre.
struct pass_jitter {
  float dx, dy;
};

// Turns a point (sx, sy) of the unit disc into the pass's jitter: a Gaussian-distributed offset
// (polar Box-Muller) scaled to half the sample spread and clamped to it.
pass_jitter jitter_from_disc(float sx, float sy, float spread);

#include <algorithm>
#include <cmath>

#include "module/render/qor_ppm.h"
#include "module/render/sampler.h"
#include "module/tree/ppm_tree.h"

qorPPM::qorPPM() : photon_ray_mode(1), photon_light_lock(0), ctor_flag(1) {}

// The three lists release their storage in reverse declaration order: jobs, emitters, lights.
// The arrays, trees and image blocks belong to a render and are released by it.
qorPPM::~qorPPM() = default;

void qorPPM::setup(qorScene& scene) {
  qorOptions& options = qor_options(scene);
  if (options.scene_changed != 0) options.scene_changed = 0;

  // The previous render's framebuffer and trees are no longer shown or queried: the host copies
  // a block when it is shown, and the point arrays the trees index are gone.
  qor_free_aligned(framebuffer);
  delete tree2;
  delete tree;
  framebuffer = nullptr;
  tree2 = nullptr;
  tree = nullptr;

  const qorCamera* camera = qor_camera_get(scene);
  constexpr double radians_per_degree = 3.141592653589793 / 180;
  const double fov_radians = static_cast<double>(options.fov) * radians_per_degree;
  const float extent_x = camera->screen_left + camera->screen_right;
  const float extent_y = camera->screen_bottom + camera->screen_top;
  const float ax = tanf(static_cast<float>(static_cast<double>(extent_x) * fov_radians /
                                           static_cast<double>(static_cast<float>(options.width))));
  const float ay = static_cast<float>(tan(static_cast<double>(extent_y) * fov_radians /
                                          static_cast<double>(static_cast<float>(options.height))));

  const size_t bytes = qorImage_block::bytes(options.width, options.height);
  output_block = static_cast<qorImage_block*>(qor_malloc2_aligned(bytes, frame_memory_kind, 64));
  if (output_block == nullptr) qor_error("Out of memory allocating framebuffer element\n");

  pixel_angle = std::max(ay, ax);
  const qorView& view = qor_view(scene);
  for (int i = 0; i < 3; ++i) camera_pos[i] = view.camera_position[i];
}

void qorPPM::cleanup() {
  qor_sprint("Cleanup progressive photon mapping\n");
  qor_free_aligned(output_block);
  output_block = nullptr;  // a later cleanup must not release it again
}

const char* qorPPM_sampler::name() {
  return "ppm";
}

int qorPPM_sampler::render(qorScene& scene) {
  renderer->render_frame(scene);
  return qor_stop_requested(scene);
}

qorPPM& the_renderer() {
  static qorPPM renderer;
  return renderer;
}

qorPPM_sampler& the_sampler() {
  static qorPPM_sampler sampler;
  return sampler;
}

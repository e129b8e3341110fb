// The progressive render: per-render arrays, the two iteration schemes, and the hand-over of the
// final image.
#include <climits>
#include <cstring>

#include "module/photons/random.h"
#include "module/render/processes.h"
#include "module/render/qor_ppm.h"
#include "module/tree/ppm_tree.h"

namespace {

// Every per-render array is one flat, zero-filled block from the host's aligned allocator.
template <typename T>
T* allocate_zeroed(size_t bytes) {
  void* block = qor_malloc_aligned(bytes, 64);
  if (block != nullptr) std::memset(block, 0, bytes);
  return static_cast<T*>(block);
}

template <typename T>
T* allocate_zeroed_frame_array(size_t bytes) {
  void* block = qor_malloc2_aligned(bytes, frame_memory_kind, 64);
  if (block != nullptr) std::memset(block, 0, bytes);
  return static_cast<T*>(block);
}

template <typename T>
void release(T*& block) {
  qor_free_aligned(block);
  block = nullptr;
}

// Hands the image to the host every output_every iterations (at least every iteration).
struct output_schedule {
  int32_t since_last = 0;

  // Returns false when the user asked the render to end.
  bool step(qorPPM& renderer, qorScene& scene) {
    ++since_last;
    if (since_last < renderer.output_every) return true;
    const bool keep_going = renderer.poll_input(scene, &renderer.visualize_mode);
    renderer.visualize(scene, renderer.visualize_mode, renderer.iteration);
    since_last = 0;
    return keep_going;
  }
};

void print_elapsed_time(const qorPPM& renderer) {
  const double elapsed = qor_get_time() - renderer.start_time;
  constexpr double minutes_per_second = 1.0 / 60;
  const int32_t minutes = static_cast<int32_t>(elapsed * minutes_per_second);
  const double seconds = elapsed - static_cast<double>(minutes * 60);
  qor_info("[%d] Elapsed time %d minutes %2.1f seconds\n", renderer.iteration, minutes, seconds);
}

// Builds the trees, traces the photons and folds them into the points: the part of an iteration
// that needs points.
void gather_photons(qorPPM& renderer, qorScene& scene) {
  double t0 = qor_get_time();
  renderer.build_trees(scene, renderer.iteration);
  qor_sprint("[%d] Build ppm structure %d / %d points (%.1f seconds)\n", renderer.iteration + 1,
             renderer.point_count, renderer.point2_count, qor_get_time() - t0);
  t0 = qor_get_time();
  renderer.trace_photons(scene);
  qor_sprint("[%d] Photon tracing (%.1f seconds)\n", renderer.iteration + 1, qor_get_time() - t0);
  renderer.refine_points(scene);
}

// In a shared render the first process makes the eye pass and sends its points to the others:
// a multi-threaded eye pass commits points in the order its threads finish them, and processes
// may run different thread counts, so only one process's points are the same everywhere. The
// others wait the eye pass out; their photon passes are where they help.
void make_eye_pass(qorPPM& renderer, qorScene& scene) {
  if (process_index() == 0) renderer.image_sampling_pass(scene);
  if (process_count() == 1) return;
  const double t0 = qor_get_time();
  share_eye_pass(renderer);
  qor_sprint("[%d] Points sent to %d processes (%.3f seconds)\n", renderer.iteration + 1,
             process_count(), qor_get_time() - t0);
}

// The default scheme: every iteration starts with a new eye pass, and the per-pixel records carry
// each pixel's estimate from one pass to the next.
void run_eye_pass_per_iteration(qorPPM& renderer, qorScene& scene, int32_t limit) {
  output_schedule output;
  while (renderer.iteration < limit) {
    renderer.pass_seed = global_random.next_u32();
    renderer.point_count = 0;
    if (renderer.point_mode == 1) renderer.point2_count = 0;
    make_eye_pass(renderer, scene);
    renderer.carry_over_points();
    if (renderer.point_count != 0 || renderer.point2_count != 0) {
      gather_photons(renderer, scene);
      // Every process holds the same points: one file, from the process that writes the image.
      if (process_index() == 0) renderer.save_points_file(qor_options(scene).display_scale);
      renderer.merge_points();
      if (renderer.smooth) renderer.smooth_points_2();
    }
    const bool keep_going = output.step(renderer, scene);
    renderer.iteration += 1;
    print_elapsed_time(renderer);
    if (renderer.iteration >= limit || !keep_going) break;
  }
}

// Scales the estimate of every point so that it stays the mean over the iterations so far.
void rescale_single_pass_points(qorPPM& renderer) {
  if (renderer.point_count != 0) {
    const float s =
        static_cast<float>(renderer.iteration) / static_cast<float>(renderer.iteration + 1);
    for (uint32_t i = 0; i < renderer.point_count; ++i) {
      measurement_point& p = renderer.points[i];
      for (int c = 0; c < 3; ++c) {
        p.pass_flux[c] = 0.0f;
        p.offset_sum[c] *= s;
        p.radiance[c] *= s;
      }
    }
  }
  if (renderer.point2_count != 0) {
    for (uint32_t i = 0; i < renderer.point2_count; ++i) {
      measurement_point& p = renderer.points2[i];
      for (int c = 0; c < 3; ++c) p.pass_flux[c] = 0.0f;
      p.pass_photons = 0;
    }
  }
}

// The scheme with one eye pass: its points are refined over all iterations.
void run_single_eye_pass(qorPPM& renderer, qorScene& scene, int32_t limit) {
  renderer.pass_seed = global_random.next_u32();
  renderer.point_count = 0;
  renderer.point2_count = 0;
  make_eye_pass(renderer, scene);
  if (renderer.point_count == 0 && renderer.point2_count == 0) return;
  if (renderer.iteration >= limit) return;

  output_schedule output;
  for (;;) {
    gather_photons(renderer, scene);
    rescale_single_pass_points(renderer);
    if (renderer.smooth) renderer.smooth_points(renderer.height);
    const bool keep_going = output.step(renderer, scene);
    renderer.iteration += 1;
    renderer.pass_seed = global_random.next_u32();
    print_elapsed_time(renderer);
    if (renderer.iteration >= limit || !keep_going) break;
  }
}

}  // namespace

void qorPPM::render_frame(qorScene& scene) {
  qorOptions& options = qor_options(scene);
  height = options.height;
  width = options.width;
  const int threads = qor_thread_count(scene);
  job_count = 8 * threads > 99 ? 8 * threads : 100;
  // Every process runs the same jobs (its own chains of them), whatever its thread count.
  share_value(job_count);
  if (options.min_pixel_samples != 1) {
    options.min_pixel_samples = 1;
    options.max_pixel_samples = 1;
    qor_options_update(options);
    qor_render_update(scene);
  }
  start_time = qor_get_time();

  // A framebuffer left from a render without a following setup is no longer shown.
  qor_free_aligned(framebuffer);
  framebuffer = static_cast<qorImage_block*>(
      qor_malloc2_aligned(qorImage_block::bytes(width, height), frame_memory_kind, 64));
  if (framebuffer == nullptr) {
    qor_error("Out of memory allocating framebuffer element\n");
    qor_output_block(scene, output_block);
    return;
  }
  std::memset(framebuffer->pixels(), 0, qorImage_block::bytes(width, height) - 16);
  framebuffer->x0 = 0;
  framebuffer->y0 = 0;
  framebuffer->width = width;
  framebuffer->height = height;

  qor_sprint("Size of ppm point = %d bytes\n", static_cast<int>(sizeof(measurement_point)));
  qor_sprint("Using %d threads\n", threads);

  max_points = options.height * options.width;
  const size_t point_bytes = static_cast<size_t>(max_points) * sizeof(measurement_point);
  points = allocate_zeroed<measurement_point>(point_bytes);
  point_count = 0;
  candidates = allocate_zeroed<void>(static_cast<size_t>(threads) * sizeof(candidate_buffer));
  if (point_mode != 0) {
    points2 = allocate_zeroed<measurement_point>(point_bytes);
    point2_count = 0;
  }
  pixel_points = allocate_zeroed_frame_array<measurement_point>(
      static_cast<size_t>(width) * static_cast<size_t>(height) * sizeof(measurement_point));

  visualize_mode = view::rendered;
  iteration = 0;
  pixels = framebuffer->pixels();
  const int32_t limit = max_iterations > 0 ? max_iterations : INT_MAX;
  tls_slot = qor_tls_alloc(scene, photon_path_storage_bytes);

  const bool arrays_ready = points != nullptr && candidates != nullptr && pixel_points != nullptr &&
                            (point_mode == 0 || points2 != nullptr);
  if (!arrays_ready) {
    qor_error("Out of memory allocating measurement points\n");
  } else {
    qor_scene_thread_init(scene, 0);
    photon_setup(scene);
    qor_scene_thread_exit(scene, 0);
    if (sampling_mode != 0) {
      run_eye_pass_per_iteration(*this, scene, limit);
    } else {
      run_single_eye_pass(*this, scene, limit);
    }
  }

  qor_output_block(scene, output_block);
  release(pixel_points);
  release(points);
  release(candidates);
  if (points2 != nullptr) release(points2);
  // The trees index the arrays just released: nothing may query them again, so they go too,
  // rather than wait for the next frame's set-up (a host may unload the module before that).
  delete tree;
  delete tree2;
  tree = nullptr;
  tree2 = nullptr;
}

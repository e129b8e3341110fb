// The progressive photon mapping renderer: the module's illumination object. Its fields are the
// shared state of every stage of the renderer.
#pragma once

#include <cstdint>
#include <vector>

#include "host/qor.h"
#include "module/photons/photon_records.h"
#include "module/points/measurement_point.h"

class ppm_tree;

// The views of the estimate the output step paints, chosen by the keys '0' to '9'
// (docs/USAGE.md shows each). Any other number paints black.
enum class view : int32_t {
  rendered = 0,         // the accumulation image plus each pixel's photon estimate
  photon_estimate = 1,  // the photon estimate alone
  accumulation = 2,     // the accumulation image alone: what camera rays saw directly
  radius = 3,           // each point's radius relative to the largest; red at its lower bound
  pass_flux = 4,        // the light the latest pass gathered, as radiance
  none = 5,             // black
  smoothed = 6,         // the smoothed estimate
  noise = 7,            // the estimate's standard deviation over the iterations
  photon_offset = 8,    // how far a point's photons lie from its centre, on average
  edges = 9,            // the rendered image with the pixels whose normal varied lit up
};

// The memory kind of qor_malloc2_aligned the host accounts the frame's arrays by: the image
// blocks and the per-pixel records.
inline constexpr int frame_memory_kind = 4;

class qorPPM : public qorIllum_api {
 public:
  qorPPM();
  ~qorPPM() override;

  // Illumination slots the host calls while it shades.
  int direct_illumination(float result[3], qorRay& ray, void* light_context) override;
  int indirect_illumination(float result[3], qorRay& ray) override;
  void store_photon(const float power[3], qorRay& ray) override;
  void setup(qorScene& scene) override;
  void cleanup() override;

  // The render loop and its phases.
  void render_frame(qorScene& scene);
  int image_sampling_pass(qorScene& scene);
  void commit_candidate(int thread);
  void build_trees(qorScene& scene, int iteration);
  void photon_setup(qorScene& scene);
  void enumerate_emitters(qorScene& scene);
  void create_emission_jobs(uint32_t photons_per_job, uint32_t store_limit);
  void trace_photons(qorScene& scene);
  void update_emitter_statistics();
  void deposit_photon(ppm_tree& tree, const float power[3], qorRay& ray);
  void flush_path_buffer(ppm_tree& tree, qorRay& ray);
  void refine_points(qorScene& scene);
  void photon_light_irradiance(float out[3], const float position[3], const float normal[3],
                               qorRay& ray);
  void carry_over_points();
  void merge_points();
  void save_points_file(float display_scale);
  void reset_points();
  void smooth_points(int height);
  void smooth_points_2();
  void smooth_pass(int k, bool restricted);
  void classify_points();
  bool poll_input(qorScene& scene, view* shown);
  void visualize(qorScene& scene, view shown, int32_t iteration);

  candidate_buffer& candidates_of(int thread) {
    return reinterpret_cast<candidate_buffer*>(candidates)[thread];
  }

  // Fields, in declaration order. Every field starts at zero, as the static renderer does, and
  // the constructor sets the few that do not.
  float alpha{};
  int32_t refine_mode{};
  int32_t max_points{};
  int32_t direct_photons{};
  int32_t photons_emitted{};
  int32_t photons_per_pass{};
  view visualize_mode{};
  int32_t sampling_mode{};
  uint32_t pass_seed{};
  int32_t width{};
  int32_t height{};
  int32_t photon_store_mask{};
  uint8_t photon_ray_mode{};
  bool smooth{};
  bool light_irradiance{};
  uint8_t photon_light_warn{};
  float min_radius_scale{};
  float radius_scale{};
  measurement_point* points{};
  measurement_point* points2{};
  measurement_point* pixel_points{};
  void* candidates{};  // threads x candidate_buffer
  float mean_emitter_weight{};
  float* pixels{};  // the framebuffer's pixel data
  int32_t job_count{};
  int32_t output_every{};
  uint32_t photon_light_lock{};
  uint32_t point_count{};
  uint32_t point2_count{};
  double camera_pos[3]{};
  float pixel_angle{};
  qorImage_block* framebuffer{};
  qorImage_block* output_block{};
  const char* points_file{};
  int32_t iteration{};
  uint32_t job_photons_total{};
  uint32_t photons_per_job{};
  double start_time{};
  int32_t point2_last_iteration{};
  int32_t max_iterations{};
  int32_t reserved_option{};
  int32_t indirect_photons{};
  int32_t caustic_photons{};
  int32_t point_mode{};
  uint8_t ctor_flag{};
  bool show_first_pass{};
  int32_t tls_slot{};
  ppm_tree* tree{};
  ppm_tree* tree2{};
  std::vector<photon_light> photon_lights;
  std::vector<photon_emitter> emitters;
  std::vector<emission_job> emission_jobs;
  float total_power{};
};

// The eye-pass work of one worker thread.
void eye_pass(qorPPM& renderer, qorScene& scene, int thread);

// One bounce of cosine-distributed diffuse light at a camera-ray hit, answered by the second
// point set; returns whether the continuation ray hit.
int diffuse_continuation(float result[3], qorRay& ray);

// The photon tracing worker of one thread: runs jobs first_job, first_job + stride, ...
void trace_emission_jobs(qorPPM& renderer, qorScene& scene, uint32_t first_job,
                         uint32_t thread_index, uint32_t stride);

// Measurement point creation at camera-ray hits, and the choice of one candidate per pixel sample.
#include <atomic>
#include <cmath>
#include <cstring>

#include "module/photons/random.h"
#include "module/render/qor_ppm.h"
#include "module/tree/ppm_tree.h"

namespace {

constexpr double pi = 3.141592653589793;

// Radiance of the second point set around the ray's hit, as the host adds it at the hit.
void second_set_radiance(const ppm_tree& tree2, const qorRay& ray, float result[3]) {
  float out[3] = {0.0f, 0.0f, 0.0f};
  tree2.lookup_radiance(ray, out);
  for (int c = 0; c < 3; ++c) result[c] = static_cast<float>(static_cast<double>(out[c]) * pi);
}

// Reserves one record of a point array shared by the eye-pass workers, or returns false when the
// array holds `limit` records already. The test and the increment are one step, so workers racing
// for the last records never reserve past the array.
bool reserve_record(uint32_t& count, uint32_t limit, uint32_t& slot) {
  std::atomic_ref<uint32_t> counter(count);
  uint32_t seen = counter.load(std::memory_order_relaxed);
  do {
    if (seen >= limit) return false;
  } while (!counter.compare_exchange_weak(seen, seen + 1, std::memory_order_relaxed));
  slot = seen;
  return true;
}

// The radius a point starts with: twice the pixel footprint when the ray's differentials spread
// wider than that, the spread itself down to a tenth of the footprint, and a tenth below.
float initial_radius(float footprint, float spread) {
  if (spread >= 2.0f * footprint) return 2.0f * footprint;
  if (spread >= 0.1f * footprint) return spread;
  return 0.1f * footprint;  // also for a spread that is not a number
}

float squared_length(const float v[3]) {
  return v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
}

}  // namespace

int qorPPM::indirect_illumination(float result[3], qorRay& ray) {
  result[0] = result[1] = result[2] = 0.0f;
  const qorOptions& options = qor_options(ray);
  if (options.indirect_enabled == 0) return 1;

  // A kept second set answers its continuation rays from the second pass on, without new points.
  if (point_mode == 2 && ray.depth == 1 && iteration >= 1) {
    if (tree2 != nullptr) second_set_radiance(*tree2, ray, result);
    ray.thread->second_set_answered = 1;
    return 1;
  }
  if (indirect_photons == 0 && point_mode != 0 && ray.depth == 0) {
    return diffuse_continuation(result, ray);
  }

  // Records kept free below capacity; a host value above max_points wraps and leaves no limit.
  const uint32_t limit =
      static_cast<uint32_t>(max_points) - static_cast<uint32_t>(options.reserved_points);
  measurement_point* point = nullptr;
  if (ray.depth > 0 && points2 != nullptr) {
    uint32_t slot = 0;
    if (reserve_record(point2_count, limit, slot)) point = &points2[slot];
  } else {
    const uint32_t used = std::atomic_ref<uint32_t>(ray.depth > 0 ? point2_count : point_count)
                              .load(std::memory_order_relaxed);
    if (used < limit) {
      // From the 64th candidate of a sample on, each new one lands in slot 63, which the
      // selection never reads.
      candidate_buffer& buffer = candidates_of(ray.thread->thread_index);
      point = &buffer.slots[buffer.count];
      if (buffer.count <= candidate_slots - 2) ++buffer.count;
    }
  }

  if (point != nullptr) {
    measurement_point& p = *point;
    for (int c = 0; c < 3; ++c) {
      p.position[c] = static_cast<float>(ray.hit_position[c]);
      p.normal[c] = static_cast<float>(ray.shading_normal[c]);
    }
    float to_camera[3];
    for (int c = 0; c < 3; ++c) to_camera[c] = p.position[c] - static_cast<float>(camera_pos[c]);
    const float distance = std::sqrt(squared_length(to_camera));

    // The ray differentials say how far apart neighbouring pixels' hits lie here.
    ray.compute_ray_differentials();
    const float spread =
        std::sqrt(squared_length(ray.differential_x) + squared_length(ray.differential_y));
    const float r0 = initial_radius(distance * pixel_angle, spread);
    p.min_radius = min_radius_scale * r0;
    p.radius = radius_scale * r0;
    if (ray.depth > 0) {
      // Continuation hits gather over a much wider area: their points are few and far apart.
      p.min_radius *= 16.0f;
      p.radius *= 16.0f;
    }

    p.pass_photons = 0;
    p.photon_count = 0.0f;
    p.lock = 0;
    p.variance_sum = 0.0f;
    for (int c = 0; c < 3; ++c) {
      p.pass_flux[c] = 0.0f;
      p.offset_sum[c] = 0.0f;
      // A second-set record may still be read by another worker's lookup in the previous
      // pass's tree (the set is rebuilt in place): write the value whole.
      std::atomic_ref<float>(p.radiance[c]).store(0.0f, std::memory_order_relaxed);
    }
    p.pixel_x = ray.thread->pixel_x;
    p.pixel_y = ray.thread->pixel_y;

    // The shader answers the diffuse reflectance as it would for a camera ray.
    const int32_t depth = ray.depth;
    ray.depth = 0;
    qorShader* shader = ray.material != nullptr ? ray.material->shader : nullptr;
    p.reflectance[0] = p.reflectance[1] = p.reflectance[2] = 0.0f;
    qor_call_info_and_sub_shader(&ray, shader, qor_shader_reflectance, p.reflectance);
    ray.depth = depth;

    p.sample_weight = (1.0f / options.sample_weight_divisor) * ray.weight;
    if (ray.depth == 1) {
      // A continuation point gathers irradiance: its reflectance is the hit's own business.
      p.reflectance[0] = p.reflectance[1] = p.reflectance[2] = p.sample_weight;
    } else {
      for (int c = 0; c < 3; ++c) p.reflectance[c] *= p.sample_weight;
    }
  }

  if (point_mode == 0) return 1;
  if (ray.depth == 0) return diffuse_continuation(result, ray);
  // The continuation's own point is made; the second set answers it as in the kept-set case, and
  // says so, since the continuation keeps only radiance the second set delivered.
  if (tree2 != nullptr) {
    second_set_radiance(*tree2, ray, result);
    ray.thread->second_set_answered = 1;
  }
  return 1;
}

void qorPPM::commit_candidate(int thread) {
  candidate_buffer& buffer = candidates_of(thread);
  const int32_t n = buffer.count;
  if (n == 0) return;

  // One candidate per pixel sample, chosen with probability proportional to its weight.
  int32_t chosen = 0;
  if (n >= 2) {
    float total = 0.0f;
    for (int32_t k = 0; k < n; ++k) total += buffer.slots[k].sample_weight;
    const float target = unit_float_28(next_selection_u32()) * total;
    float running = 0.0f;
    for (int32_t k = 0; k < n; ++k) {
      running += buffer.slots[k].sample_weight;
      if (running > target) {
        chosen = k;
        break;
      }
    }
  }

  const uint32_t k = std::atomic_ref<uint32_t>(point_count).fetch_add(1, std::memory_order_relaxed);
  std::memcpy(static_cast<void*>(&points[k]), &buffer.slots[chosen], sizeof(measurement_point));
  buffer.count = 0;
}

#include "module/render/processes.h"

#include <cstring>

#include "module/render/qor_ppm.h"

int process_count() {
  return qor_process_count != nullptr ? qor_process_count() : 1;
}

int process_index() {
  return qor_process_index != nullptr ? qor_process_index() : 0;
}

namespace {

bool shared() {
  return process_count() > 1 && qor_process_sum != nullptr && qor_process_broadcast != nullptr;
}

}  // namespace

void open_shared_pass(measurement_point* points, uint32_t count) {
  if (!shared() || process_index() == 0) return;
  for (uint32_t n = 0; n < count; ++n) {
    measurement_point& p = points[n];
    p.pass_photons = 0;
    for (int c = 0; c < 3; ++c) {
      p.pass_flux[c] = 0.0f;
      p.offset_sum[c] = 0.0f;
    }
  }
}

void close_shared_pass(measurement_point* points, uint32_t count) {
  if (!shared() || count == 0) return;
  // Two arrays, one exchange each: 24 bytes of sums and 4 of photon count per point.
  std::vector<float> sums(static_cast<size_t>(count) * 6);
  std::vector<int32_t> photons(count);
  for (uint32_t n = 0; n < count; ++n) {
    const measurement_point& p = points[n];
    float* s = &sums[static_cast<size_t>(n) * 6];
    for (int c = 0; c < 3; ++c) {
      s[c] = p.pass_flux[c];
      s[3 + c] = p.offset_sum[c];
    }
    photons[n] = p.pass_photons;
  }
  qor_process_sum(sums.data(), sums.size(), qor_sum_float);
  qor_process_sum(photons.data(), photons.size(), qor_sum_int32);
  for (uint32_t n = 0; n < count; ++n) {
    measurement_point& p = points[n];
    const float* s = &sums[static_cast<size_t>(n) * 6];
    for (int c = 0; c < 3; ++c) {
      p.pass_flux[c] = s[c];
      p.offset_sum[c] = s[3 + c];
    }
    p.pass_photons = photons[n];
  }
}

void meet_processes() {
  if (!shared()) return;
  int32_t one = 1;
  qor_process_sum(&one, 1, qor_sum_int32);
}

void sum_job_counters(std::vector<emission_job>& jobs) {
  if (!shared() || jobs.empty()) return;
  constexpr size_t per_job = 6;
  std::vector<uint32_t> counters(jobs.size() * per_job);
  for (size_t j = 0; j < jobs.size(); ++j) {
    const emission_job& job = jobs[j];
    uint32_t* c = &counters[j * per_job];
    c[0] = job.paths_traced;
    c[1] = job.uniform_accepted;
    c[2] = job.photons_stored;
    c[3] = job.mutations_rejected;
    c[4] = job.mutations_accepted;
    c[5] = job.mutations_tried;
  }
  qor_process_sum(counters.data(), counters.size(), qor_sum_uint32);
  for (size_t j = 0; j < jobs.size(); ++j) {
    emission_job& job = jobs[j];
    const uint32_t* c = &counters[j * per_job];
    job.paths_traced = c[0];
    job.uniform_accepted = c[1];
    job.photons_stored = c[2];
    job.mutations_rejected = c[3];
    job.mutations_accepted = c[4];
    job.mutations_tried = c[5];
  }
}

void share_eye_pass(qorPPM& renderer) {
  if (!shared()) return;
  uint32_t counts[2] = {renderer.point_count, renderer.point2_count};
  qor_process_broadcast(counts, sizeof counts);
  renderer.point_count = counts[0];
  renderer.point2_count = counts[1];
  if (counts[0] != 0) {
    qor_process_broadcast(renderer.points, sizeof(measurement_point) * counts[0]);
  }
  if (counts[1] != 0 && renderer.points2 != nullptr) {
    qor_process_broadcast(renderer.points2, sizeof(measurement_point) * counts[1]);
  }
}

int shared_input(qorScene& scene, qorOutput_event& event) {
  if (!shared()) return qor_output_check_input(scene, &event);
  struct {
    int32_t has_event;
    qorOutput_event event;
  } message{};
  if (process_index() == 0) message.has_event = qor_output_check_input(scene, &message.event);
  qor_process_broadcast(&message, sizeof message);
  event = message.event;
  return message.has_event;
}

void share_value(int32_t& value) {
  if (shared()) qor_process_broadcast(&value, sizeof value);
}

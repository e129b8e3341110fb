#include "cli/scene_view.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "engine/runtime/camera.h"
#include "engine/runtime/embree_tracer.h"

namespace qor::cli {

scene_view measure_view(const engine::traceable_scene& scene,
                        const engine::engine_settings& image) {
  const int width = image.width > 0 ? image.width : scene.film.width;
  const int height = image.height > 0 ? image.height : scene.film.height;
  std::array<int, 4> region{0, 0, width, height};
  if (image.crop[2] > 0) {
    std::copy(image.crop, image.crop + 4, region.begin());
  } else if (scene.film.region && width == scene.film.width && height == scene.film.height) {
    region = *scene.film.region;
  } else {
    const auto& w = scene.film.crop_window;
    region = {int(std::ceil(width * w[0])), int(std::ceil(height * w[2])),
              int(std::ceil(width * w[1])), int(std::ceil(height * w[3]))};
  }
  scene_view view;
  view.pixels = int64_t(std::max(0, region[2] - region[0])) * std::max(0, region[3] - region[1]);
  if (scene.shapes.empty() && scene.instances.empty()) return view;

  const engine::embree_tracer tracer(scene, [](const std::string&) {});
  const engine::perspective_camera camera(scene.view, width, height);
  // The module sizes points by the larger of the two pixel tangents.
  const double tangent = std::max(camera.pixel_tangent_x(), camera.pixel_tangent_y());
  constexpr int grid = 24;
  std::vector<double> footprints;
  for (int j = 0; j < grid; ++j) {
    for (int i = 0; i < grid; ++i) {
      engine::ray_query ray;
      camera.generate_ray(region[0] + (i + 0.5) * (region[2] - region[0]) / grid,
                          region[1] + (j + 0.5) * (region[3] - region[1]) / grid, 0.5, 0.5,
                          ray.origin, ray.direction);
      if (const auto hit = tracer.intersect(ray)) footprints.push_back(hit->t * tangent);
    }
  }
  if (footprints.empty()) return view;
  std::nth_element(footprints.begin(), footprints.begin() + footprints.size() / 2,
                   footprints.end());
  view.footprint = footprints[footprints.size() / 2];
  return view;
}

void set_region_and_parameters(render_job& job, const command_line& line,
                               const engine::traceable_scene& scene,
                               const qor::scene::scene_description& description) {
  set_image_region(job, line, description);
  scene_view view = measure_view(scene, job.engine);
  view.strata = host_supersampling(view, line.supersample, line.module_defaults);
  job.engine.pixel_strata = view.strata;
  add_scene_parameters(job, description,
                       host_parameters(view, description.settings, line.module_defaults));
}

}  // namespace qor::cli

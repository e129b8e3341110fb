#include "cli/scene_summary.h"

#include <cstdio>
#include <map>

#include "engine/runtime/lights/light.h"
#include "engine/runtime/materials/material.h"
#include "engine/scene/vector_math.h"

namespace qor::cli {

namespace {

using namespace qor::scene;

std::string format(const char* pattern, auto... values) {
  char text[512];
  std::snprintf(text, sizeof text, pattern, values...);
  return text;
}

void count_shapes(const std::vector<shape_description>& shapes, size_t& meshes, size_t& triangles,
                  size_t& spheres) {
  for (const shape_description& shape : shapes) {
    if (shape.kind == geometry_kind::sphere) {
      ++spheres;
    } else {
      ++meshes;
      triangles += shape.indices.size() / 3;
    }
  }
}

}  // namespace

std::string summarize_scene(const scene_description& scene, const engine::traceable_scene& made) {
  std::string out;
  const camera_description& camera = scene.camera;
  const transform world_from_camera = camera.camera_from_world.inverse();
  double3 forward = world_from_camera.apply_vector({0, 0, 1});
  if (length(forward) > 0) forward = normalize(forward);
  out += format("camera: %s, fov %g degrees, at %s looking along %s%s\n", camera.type.c_str(),
                camera.fov, text(world_from_camera.apply_point({0, 0, 0})).c_str(),
                text(forward).c_str(), camera.given ? "" : " (no Camera directive: defaults)");
  if (camera.lens_radius > 0) {
    out +=
        format("  lens radius %g, focal distance %g\n", camera.lens_radius, camera.focal_distance);
  }

  const film_description& film = scene.film;
  out += format("film: %d x %d, file \"%s\"", film.xresolution, film.yresolution,
                film.filename.c_str());
  if (film.pixel_x0 != 0 || film.pixel_y0 != 0 || film.pixel_x1 != film.xresolution ||
      film.pixel_y1 != film.yresolution) {
    out += format(", crop to pixels [%d, %d) x [%d, %d)", film.pixel_x0, film.pixel_x1,
                  film.pixel_y0, film.pixel_y1);
  }
  const pixel_filter_description& filter = scene.pixel_filter;
  out += format(", %s pixel filter (radius %g x %g)\n", filter.type.c_str(), filter.radius[0],
                filter.radius[1]);

  const render_settings& settings = scene.settings;
  out += format("render: %d iterations, ", settings.iterations);
  out += settings.photons_per_iteration > 0
             ? format("%lld photons per iteration", (long long)settings.photons_per_iteration)
             : std::string("the renderer's photons per iteration");
  if (!settings.integrator.empty()) out += ", Integrator \"" + settings.integrator + "\"";
  for (size_t i = 0; i < settings.renderer_parameters.size(); ++i) {
    out += (i == 0 ? " setting " : ", ") + settings.renderer_parameters[i].name;
  }
  out += "\n";

  size_t meshes = 0, triangles = 0, spheres = 0;
  count_shapes(scene.shapes, meshes, triangles, spheres);
  size_t emitting = 0;
  for (const shape_description& shape : scene.shapes) emitting += shape.area_light >= 0;
  out += format("shapes: %zu triangle meshes (%zu triangles), %zu spheres; %zu emit light\n",
                meshes, triangles, spheres, emitting);
  if (!scene.objects.empty() || !scene.instances.empty()) {
    size_t object_meshes = 0, object_triangles = 0, object_spheres = 0;
    for (const object_description& object : scene.objects) {
      count_shapes(object.shapes, object_meshes, object_triangles, object_spheres);
    }
    out += format("objects: %zu (%zu triangle meshes, %zu triangles, %zu spheres), %zu instances\n",
                  scene.objects.size(), object_meshes, object_triangles, object_spheres,
                  scene.instances.size());
  }

  out += format("lights: %zu, area lights: %zu\n", made.lights.size(), made.area_lights.size());
  for (const engine::light_source& light : made.lights) {
    out += "  " + light.summary + "  [" + to_string(light.location) + "]\n";
  }
  for (const engine::area_light_source& light : made.area_lights) {
    out += format("  area light, radiance %s%s  [%s]\n", engine::text(light.radiance).c_str(),
                  light.two_sided ? ", two-sided" : "",
                  to_string(scene.shapes[light.shape].location).c_str());
  }
  if (made.lights.empty() && made.area_lights.empty()) {
    out += "  (none: the image will be black)\n";
  }

  out += format("materials: %zu\n", made.materials.size());
  for (size_t i = 0; i < made.materials.size(); ++i) {
    const engine::surface_material& material = *made.materials[i];
    out += "  " + std::string(material.kind_name);
    if (!material.name.empty()) out += " \"" + material.name + "\"";
    const std::string& type = scene.materials[i].type;
    if (type != material.kind_name && !type.empty()) out += " (from \"" + type + "\")";
    if (const std::string settings = material.settings(); !settings.empty()) {
      out += ", " + settings;
    }
    if (i == 0 && scene.materials[i].location.line == 0) out += " (the default)";
    out += "\n";
  }
  return out;
}

}  // namespace qor::cli

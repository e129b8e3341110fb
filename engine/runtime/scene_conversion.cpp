#include "engine/runtime/scene_conversion.h"

#include <cmath>
#include <optional>
#include <stdexcept>

#include "engine/runtime/lights/area_light.h"
#include "engine/runtime/materials/material.h"
#include "engine/runtime/textures/texture.h"
#include "engine/scene/scene_description.h"

namespace engine {

namespace {

namespace sc = qor::scene;

affine_transform affine_of(const std::array<std::array<double, 4>, 4>& m) {
  affine_transform t;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) t.m[r][c] = m[r][c];
  return t;
}

std::string where(const sc::file_location& location) {
  return location.file.empty() ? std::string("scene") : sc::to_string(location);
}

shape convert_shape(const sc::shape_description& d, size_t material_count) {
  if (d.material < 0 || size_t(d.material) >= material_count) {
    throw std::runtime_error(where(d.location) + ": shape refers to material " +
                             std::to_string(d.material) + " of " + std::to_string(material_count));
  }
  shape s;
  s.material = uint32_t(d.material);
  // pbrt-v4 negates the normal when ReverseOrientation and a handedness-swapping transform do
  // not cancel, for triangles (winding) and spheres (outward) alike.
  s.flip_normal = d.reverse_orientation != d.transform_swaps_handedness;
  s.kind = d.kind;
  if (d.kind == geometry_kind::sphere) {
    s.center = {d.center[0], d.center[1], d.center[2]};
    s.radius = d.radius;
    for (int axis = 0; axis < 3; ++axis) {
      s.axes[axis] = {d.axes[axis][0], d.axes[axis][1], d.axes[axis][2]};
    }
    return s;
  }
  for (uint32_t i : d.indices) {
    if (i >= d.positions.size()) {
      throw std::runtime_error(where(d.location) + ": vertex index " + std::to_string(i) +
                               " out of range");
    }
  }
  s.mesh.positions = d.positions;
  s.mesh.indices = d.indices;
  s.mesh.indices.resize(d.indices.size() / 3 * 3);
  if (d.normals.size() == d.positions.size()) s.mesh.normals = d.normals;
  if (d.uv.size() == d.positions.size()) s.mesh.uv = d.uv;
  s.mesh.make_face_normals();
  return s;
}

}  // namespace

traceable_scene build_traceable_scene(const sc::scene_description& description,
                                      sc::warning_sink& warnings) {
  traceable_scene out;
  const named_textures textures = create_textures(description.textures, warnings);
  for (const sc::material_description& m : description.materials) {
    out.materials.push_back(create_material({m, textures, warnings}));
  }
  if (out.materials.empty()) out.materials.push_back(default_material());

  const sc::transform identity;
  std::vector<std::optional<diffuse_emission>> emissions;
  for (const sc::area_light_description& a : description.area_lights) {
    emissions.push_back(read_area_light({a, identity, warnings}));
  }
  for (const sc::shape_description& d : description.shapes) {
    shape s = convert_shape(d, out.materials.size());
    if (d.area_light >= 0) {
      if (size_t(d.area_light) >= emissions.size()) {
        throw std::runtime_error(where(d.location) + ": shape refers to area light " +
                                 std::to_string(d.area_light));
      }
      if (const std::optional<diffuse_emission>& emission = emissions[d.area_light]) {
        s.area_light = int32_t(out.area_lights.size());
        out.area_lights.push_back(
            bind_area_light(*emission, s, uint32_t(out.shapes.size()), d.source_type));
      }
    }
    out.shapes.push_back(std::move(s));
  }

  for (const sc::object_description& o : description.objects) {
    scene_object object;
    object.name = o.name;
    bool dropped_light = false;
    for (const sc::shape_description& d : o.shapes) {
      object.shapes.push_back(convert_shape(d, out.materials.size()));
      dropped_light |= d.area_light >= 0;
    }
    if (dropped_light) {
      warnings.warn(o.location, "area lights inside object \"" + o.name +
                                    "\" are not supported with instancing; its shapes do not emit");
    }
    out.objects.push_back(std::move(object));
  }

  for (const sc::instance_description& i : description.instances) {
    if (i.object < 0 || size_t(i.object) >= out.objects.size()) {
      throw std::runtime_error(where(i.location) + ": instance of object " +
                               std::to_string(i.object) + " that does not exist");
    }
    if (!i.world_from_instance.invertible()) {
      warnings.warn(i.location, "instance with a singular transform is skipped");
      continue;
    }
    object_instance instance;
    instance.object = uint32_t(i.object);
    instance.world_from_object = affine_of(i.world_from_instance.m);
    instance.object_from_world = affine_of(i.world_from_instance.m_inverse);
    out.instances.push_back(instance);
  }

  for (const sc::light_description& l : description.lights) {
    if (std::optional<light_source> light = create_light({l, l.world_from_light, warnings})) {
      out.lights.push_back(std::move(*light));
    }
  }

  const sc::camera_description& c = description.camera;
  if (c.camera_from_world.invertible()) {
    out.view.world_from_camera = affine_of(c.camera_from_world.m_inverse);
  } else {
    warnings.warn(c.location, "camera transform is singular; using the identity");
  }
  out.view.fov = c.fov;
  out.view.lens_radius = c.lens_radius;
  out.view.focal_distance = c.focal_distance;
  out.view.screen_window = c.screen_window;
  if (!c.screen_window && c.frame_aspect_ratio && *c.frame_aspect_ratio > 0) {
    // pbrt's frameaspectratio: the screen window follows it instead of the image's shape.
    const float a = *c.frame_aspect_ratio;
    out.view.screen_window =
        a > 1 ? std::array<float, 4>{-a, a, -1, 1} : std::array<float, 4>{-1, 1, -1 / a, 1 / a};
  }

  const sc::film_description& f = description.film;
  out.film.pixel_filter = film_filter(description.pixel_filter);
  out.film.width = f.xresolution;
  out.film.height = f.yresolution;
  out.film.crop_window = f.crop_window;
  out.film.region = std::array<int, 4>{f.pixel_x0, f.pixel_y0, f.pixel_x1, f.pixel_y1};
  return out;
}

}  // namespace engine

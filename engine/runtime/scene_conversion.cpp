#include "engine/runtime/scene_conversion.h"

#include <cmath>
#include <stdexcept>

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

vec3 vec_of(const sc::double3& v) {
  return {v[0], v[1], v[2]};
}

rgb rgb_of(const sc::rgb& c) {
  return {c[0], c[1], c[2]};
}

std::string where(const sc::file_location& location) {
  return location.file.empty() ? std::string("scene") : sc::to_string(location);
}

material_kind kind_of(sc::material_type type) {
  switch (type) {
    case sc::material_type::diffuse:
      return material_kind::diffuse;
    case sc::material_type::dielectric:
      return material_kind::dielectric;
    case sc::material_type::thin_dielectric:
      return material_kind::thin_dielectric;
    case sc::material_type::conductor:
      return material_kind::conductor;
    case sc::material_type::coated_diffuse:
      return material_kind::coated_diffuse;
    case sc::material_type::interface:
      return material_kind::interface;
  }
  return material_kind::diffuse;
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
  if (d.kind == sc::geometry_kind::sphere) {
    s.kind = geometry_kind::sphere;
    s.center = {d.center[0], d.center[1], d.center[2]};
    s.radius = d.radius;
    return s;
  }
  s.kind = geometry_kind::triangle_mesh;
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
  return s;
}

}  // namespace

traceable_scene build_traceable_scene(const sc::scene_description& description,
                                      std::vector<std::string>& warnings) {
  traceable_scene out;

  for (const sc::material_description& m : description.materials) {
    surface_material material;
    material.kind = kind_of(m.type);
    material.reflectance = rgb_of(m.reflectance);
    material.eta = m.eta;
    material.name = m.name.empty() ? m.source_type : m.name;
    out.materials.push_back(material);
  }
  if (out.materials.empty()) out.materials.push_back({});

  for (const sc::shape_description& d : description.shapes) {
    shape s = convert_shape(d, out.materials.size());
    if (d.area_light >= 0) {
      if (size_t(d.area_light) >= description.area_lights.size()) {
        throw std::runtime_error(where(d.location) + ": shape refers to area light " +
                                 std::to_string(d.area_light));
      }
      const sc::area_light_description& a = description.area_lights[d.area_light];
      area_light_source source;
      source.shape = uint32_t(out.shapes.size());
      source.radiance = rgb_of(a.radiance);
      source.two_sided = a.two_sided;
      if (a.power > 0) {
        // pbrt-v4's "power": each of its shapes emits this many watts. A triangle mesh is one
        // shape per triangle there; a disk, cylinder or partial sphere is one shape.
        const double sides = a.two_sided ? 2 : 1;
        const bool per_triangle = s.kind == geometry_kind::triangle_mesh &&
                                  (d.source_type == "trianglemesh" || d.source_type == "plymesh");
        if (per_triangle) {
          source.radiance = source.radiance * float(a.power / (pi * sides));
          for (size_t t = 0; t < s.mesh.triangle_count(); ++t) {
            const double area = triangle_area(s.mesh, t);
            source.triangle_scale.push_back(area > 0 ? float(1 / area) : 0.0f);
          }
        } else if (const double area = shape_area(s); area > 0) {
          source.radiance = source.radiance * float(a.power / (pi * sides * area));
        }
      }
      s.area_light = int32_t(out.area_lights.size());
      out.area_lights.push_back(source);
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
      warnings.push_back(where(o.location) + ": area lights inside object \"" + o.name +
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
      warnings.push_back(where(i.location) + ": instance with a singular transform is skipped");
      continue;
    }
    object_instance instance;
    instance.object = uint32_t(i.object);
    instance.world_from_object = affine_of(i.world_from_instance.m);
    instance.object_from_world = affine_of(i.world_from_instance.m_inverse);
    out.instances.push_back(instance);
  }

  for (const sc::light_description& l : description.lights) {
    light_source light;
    light.intensity = rgb_of(l.intensity);
    light.name = where(l.location);
    switch (l.type) {
      case sc::light_type::point:
        light.kind = light_kind::point;
        light.position = vec_of(l.from);
        break;
      case sc::light_type::spot: {
        light.kind = light_kind::spot;
        light.position = vec_of(l.from);
        const vec3 axis = vec_of(l.to) - vec_of(l.from);
        if (!(length_squared(axis) > 0)) {
          warnings.push_back(where(l.location) + ": spot light with from = to is skipped");
          continue;
        }
        light.direction = normalize(axis);
        const double cone = std::clamp(double(l.cone_angle), 0.0, 90.0);
        const double delta = std::clamp(double(l.cone_delta_angle), 0.0, cone);
        light.cos_falloff_end = std::cos(cone * pi / 180);
        light.cos_falloff_start = std::cos((cone - delta) * pi / 180);
        break;
      }
      case sc::light_type::distant: {
        light.kind = light_kind::distant;
        const vec3 d = vec_of(l.direction);
        if (!(length_squared(d) > 0)) {
          warnings.push_back(where(l.location) + ": distant light without a direction is skipped");
          continue;
        }
        light.direction = normalize(d);
        break;
      }
    }
    out.lights.push_back(light);
  }

  const sc::camera_description& c = description.camera;
  if (c.camera_from_world.invertible()) {
    out.view.world_from_camera = affine_of(c.camera_from_world.m_inverse);
  } else {
    warnings.push_back(where(c.location) + ": camera transform is singular; using the identity");
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
  out.film.width = f.xresolution;
  out.film.height = f.yresolution;
  out.film.crop_window = f.crop_window;
  out.film.region = std::array<int, 4>{f.pixel_x0, f.pixel_y0, f.pixel_x1, f.pixel_y1};
  return out;
}

}  // namespace engine

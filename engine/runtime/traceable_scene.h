// The render-time scene: what the tracer and the shaders need, flattened from the editable
// scene description. Shapes keep their own (object) space; world shapes have the identity as
// their object space, and instances place an object's shapes in the world.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/runtime/film_filter.h"
#include "engine/runtime/vector_math.h"
#include "engine/scene/scene_description.h"

namespace engine {

using qor::scene::geometry_kind;

class surface_material;  // materials/material.h
class scene_light;       // lights/light.h

struct triangle_mesh {
  std::vector<std::array<float, 3>> positions;  // object space
  std::vector<uint32_t> indices;                // three per triangle
  std::vector<std::array<float, 3>> normals;    // empty, or one unit normal per position
  std::vector<std::array<float, 2>> uv;         // empty, or one per position
  // Empty, or each triangle's unit normal by pbrt-v4's winding rule (before flip_normal), made
  // with the mesh so that a hit pays for no square root and division (a third of resolving a
  // photon's hit). A mesh made without them works out its normals at each hit.
  std::vector<vec3> face_normals;

  size_t triangle_count() const { return indices.size() / 3; }
  vec3 position(uint32_t vertex) const {
    const auto& p = positions[vertex];
    return {p[0], p[1], p[2]};
  }
  // The unit normal of a triangle by the winding rule, worked out from its corners.
  vec3 winding_normal(size_t triangle) const {
    const vec3 p0 = position(indices[3 * triangle]), p1 = position(indices[3 * triangle + 1]),
               p2 = position(indices[3 * triangle + 2]);
    return normalize(cross(p0 - p2, p1 - p2));
  }
  // Fills face_normals from the positions and indices as they now stand.
  void make_face_normals() {
    face_normals.resize(triangle_count());
    for (size_t t = 0; t < face_normals.size(); ++t) face_normals[t] = winding_normal(t);
  }
};

struct shape {
  using kind_type = geometry_kind;  // the name the tracer uses
  geometry_kind kind = geometry_kind::triangle_mesh;
  triangle_mesh mesh;
  vec3 center;  // sphere, object space
  double radius = 0;
  vec3 axes[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};  // sphere: its own axes, for its (u, v)
  uint32_t material = 0;
  int32_t area_light = -1;  // index into traceable_scene::area_lights, or -1
  // Negates the surface normal that the winding (triangles) or the outward direction (spheres)
  // gives; a one-sided emitter emits on the side of the resulting normal.
  bool flip_normal = false;
};

struct scene_object {
  std::string name;
  std::vector<shape> shapes;
};

struct object_instance {
  uint32_t object = 0;
  affine_transform world_from_object;
  affine_transform object_from_world;
};

struct area_light_source {
  uint32_t shape = 0;  // a world shape
  rgb radiance;        // W / (m^2 sr), leaving the emitting side(s)
  bool two_sided = false;
  // Empty, or one factor per triangle of a mesh that multiplies `radiance` there (pbrt-v4 gives
  // each triangle of a mesh light with a "power" that power on its own).
  std::vector<float> triangle_scale;
};

// The scene's bounding sphere, which lights from a direction cover with their photons.
struct scene_extent {
  vec3 center;
  double radius = 1;
};

// A LightSource as its kind made it from the scene's record (lights/). The light object, the
// qorLight the module sees and links into its list, is made from it once per engine, when the
// scene's extent is known.
struct light_source {
  std::string summary;  // what --check prints: "point light, intensity (1, 1, 1), at (0, 2, 0)"
  std::function<std::unique_ptr<scene_light>(const scene_extent& scene)> make;
  qor::scene::file_location location;  // of the LightSource
};

struct perspective_view {
  affine_transform world_from_camera;  // camera space is left-handed: +x right, +y up, +z forward
  float fov = 90;                      // degrees, on the shorter image axis
  std::optional<std::array<float, 4>> screen_window;  // [x0 x1 y0 y1]; absent: from the aspect
  float lens_radius = 0;
  float focal_distance = 1e6f;
};

struct film_setup {
  int width = 1280, height = 720;
  // The file's PixelFilter (pbrt-v4's Gaussian when it names none); a scene built in code keeps
  // the renderer's offsets as they are.
  film_filter pixel_filter;
  std::array<float, 4> crop_window{0, 1, 0, 1};  // [x0 x1 y0 y1] image fractions
  // The render region in pixels, [x0, x1) x [y0, y1); set from the crop window when absent.
  std::optional<std::array<int, 4>> region;
};

struct bounding_box {
  vec3 lower{1e300, 1e300, 1e300};
  vec3 upper{-1e300, -1e300, -1e300};

  bool empty() const { return lower.x > upper.x; }
  void extend(const vec3& p) {
    lower = {std::min(lower.x, p.x), std::min(lower.y, p.y), std::min(lower.z, p.z)};
    upper = {std::max(upper.x, p.x), std::max(upper.y, p.y), std::max(upper.z, p.z)};
  }
};

struct traceable_scene {
  // Shared, as materials never change once made: copies of a scene use the same ones.
  std::vector<std::shared_ptr<const surface_material>> materials;  // at least one
  std::vector<shape> shapes;                                       // world shapes
  std::vector<scene_object> objects;
  std::vector<object_instance> instances;
  std::vector<area_light_source> area_lights;
  std::vector<light_source> lights;
  perspective_view view;
  film_setup film;

  // World-space bounds of every shape and instance (empty for an empty scene).
  bounding_box bounds() const;
};

// Area of a shape in its own space.
double shape_area(const shape& s);
double triangle_area(const triangle_mesh& mesh, size_t triangle);

// ---- Ray queries ---------------------------------------------------------------------------

struct ray_query {
  vec3 origin;
  vec3 direction;  // need not be unit: t is measured in units of |direction|
  double t_min = 0;
  double t_max = 1e300;
};

// What a tracer reports; resolve_hit turns it into the surface that was hit.
struct raw_hit {
  double t = 0;
  int32_t instance = -1;  // -1 for a world shape
  uint32_t shape = 0;     // index into the world's or the instanced object's shapes
  uint32_t primitive = 0;
  float u = 0, v = 0;  // triangle barycentrics: p = (1 - u - v) p0 + u p1 + v p2
};

// Identifies one triangle or sphere of the scene, so that a ray leaving it can ignore it.
struct surface_id {
  int32_t instance = -1;
  uint32_t shape = UINT32_MAX;
  uint32_t primitive = UINT32_MAX;

  bool operator==(const surface_id&) const = default;
};

class ray_tracer {
 public:
  virtual ~ray_tracer() = default;
  virtual std::optional<raw_hit> intersect(const ray_query& ray) const = 0;
  virtual bool occluded(const ray_query& ray) const = 0;
};

// Tests every primitive of the scene in double precision: the reference that the Embree tracer
// is compared with in tests, and a fallback for tiny scenes.
class brute_force_tracer final : public ray_tracer {
 public:
  explicit brute_force_tracer(const traceable_scene& scene) : scene_(scene) {}
  std::optional<raw_hit> intersect(const ray_query& ray) const override;
  bool occluded(const ray_query& ray) const override;

 private:
  const traceable_scene& scene_;
};

// The surface at a hit, in world space.
struct surface_hit {
  vec3 position;
  vec3 geometric_normal;  // unit; the shape's oriented normal (winding rule, flip_normal)
  vec3 shading_normal;    // unit; interpolated vertex normals where the mesh has them
  double u = 0, v = 0;    // barycentrics (b1, b2) on a triangle, 0 on a sphere; texture_point
                          // turns them into the shape's (u, v) when a texture needs them
  uint32_t material = 0;
  int32_t area_light = -1;
  surface_id id;
  bool triangle = false;
};

const shape& hit_shape(const traceable_scene& scene, const raw_hit& hit);
surface_hit resolve_hit(const traceable_scene& scene, const ray_query& ray, const raw_hit& hit);

}  // namespace engine

// Rays: making and releasing them, tracing them against the scene, the hit fields a module reads,
// occlusion tests and ray differentials.
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "engine/runtime/runtime.h"

namespace engine {

namespace {

constexpr double infinite_distance = std::numeric_limits<double>::infinity();
constexpr surface_id no_surface{};

ray_query query_of(const engine_ray& ray) {
  return {vec3::from(ray.origin), vec3::from(ray.direction), std::max(ray.min_distance, 0.0),
          ray.max_distance};
}

// Where the plane through p with normal n meets the ray (o, d); nullopt when they are parallel.
std::optional<vec3> on_plane(const vec3& p, const vec3& n, const vec3& o, const vec3& d) {
  const double denominator = dot(n, d);
  if (std::abs(denominator) < 1e-12) return std::nullopt;
  const double t = dot(n, p - o) / denominator;
  if (!(t > 0)) return std::nullopt;
  return o + d * t;
}

void store_float3(float out[3], const vec3& v) {
  out[0] = float(v.x);
  out[1] = float(v.y);
  out[2] = float(v.z);
}

}  // namespace

void reset_ray(engine_ray& ray, qorThread* thread, uint32_t type) {
  // Reset in place rather than assigned from a fresh engine_ray: a photon path resets a ray per
  // segment, and a temporary of the whole record costs a zeroing and a copy each time. Every
  // qorRay field (and its reserved bytes) starts at zero; shadow_tests keeps its storage.
  static_assert(std::is_trivially_copyable_v<qorRay>);
  std::memset(static_cast<qorRay*>(&ray), 0, sizeof(qorRay));
  ray.throughput = rgb::gray(1);
  ray.camera_first_segment = false;
  ray.raster_x = ray.raster_y = 0;
  ray.leaving = no_surface;
  ray.at_hit = no_surface;
  ray.hit_surface = no_surface;
  ray.shadow_tests.clear();
  ray.thread = thread;
  ray.type = type;
  ray.min_distance = 0;
  ray.max_distance = infinite_distance;
  ray.weight = 1;
  ray.emission_scale = 1;
  ray.medium_ior = 1;
}

engine_ray* make_ray(qorThread* thread, uint32_t type) {
  auto* ray = new engine_ray();
  reset_ray(*ray, thread, type);
  return ray;
}

void start_child_ray(qorRay& parent, uint32_t type, engine_ray& child) {
  const auto& from = static_cast<const engine_ray&>(parent);
  reset_ray(child, parent.thread, type);
  child.parent = &parent;
  child.flags = from.flags;
  child.depth = from.depth;
  child.weight = from.weight;
  child.emission_scale = from.emission_scale;
  child.medium = from.medium;
  child.medium_ior = from.medium_ior;
  // A child starts where its parent hit: it ignores that surface and has travelled this far.
  if (std::isfinite(from.max_distance) && from.material != nullptr) {
    child.path_length = from.path_length + from.max_distance;
    child.leaving = from.at_hit;
  } else {
    child.path_length = from.path_length;
  }
}

std::optional<raw_hit> trace(const qorScene& scene, const engine_ray& ray) {
  ray_query q = query_of(ray);
  // A ray leaving a triangle cannot meet that (flat) triangle again; a hit on it is rounding
  // error, so the trace goes on past it.
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::optional<raw_hit> hit = scene.tracer->intersect(q);
    if (!hit || ray.leaving == no_surface) return hit;
    const surface_id id{hit->instance, hit->shape, hit->primitive};
    if (!(id == ray.leaving)) return hit;
    q.t_min = std::nextafter(float(hit->t), std::numeric_limits<float>::infinity());
  }
  return std::nullopt;
}

surface_hit record_hit(const qorScene& scene, engine_ray& ray, const raw_hit& hit) {
  const ray_query q = query_of(ray);
  surface_hit s = resolve_hit(scene.content, q, hit);
  vec3 ng = s.geometric_normal, ns = s.shading_normal;
  // Both normals face the side the ray came from, so that a module's orientation tests see
  // which side of a wall is lit and which is seen.
  if (dot(ng, q.direction) > 0) ng = -ng;
  if (dot(ns, q.direction) > 0) ns = -ns;
  s.position.store(ray.hit_position);
  ng.store(ray.geometric_normal);
  ns.store(ray.shading_normal);
  ray.uv[0] = s.u;
  ray.uv[1] = s.v;
  ray.material = &scene.materials[s.material]->record;
  ray.geometry_id = hit.shape;
  ray.primitive_id = hit.primitive;
  ray.max_distance = length(s.position - q.origin);
  ray.surface_offset = float(scene.ray_epsilon);
  ray.at_hit = s.triangle ? s.id : no_surface;
  ray.hit_surface = s.id;
  return s;
}

void leave_surface(const qorScene& scene, const engine_ray& from, const surface_hit& surface,
                   const vec3& direction, engine_ray& next) {
  const vec3 facing = vec3::from(from.geometric_normal);  // on the side `from` came from
  const double side = dot(direction, facing) >= 0 ? 1.0 : -1.0;
  const double travelled = from.path_length + from.max_distance;
  (surface.position + facing * (side * scene.ray_epsilon)).store(next.origin);
  direction.store(next.direction);
  next.min_distance = 0;
  next.max_distance = infinite_distance;
  next.path_length = travelled;
  next.leaving = surface.triangle ? surface.id : no_surface;
}

void pass_through(const qorScene& scene, engine_ray& ray, const surface_hit& surface) {
  // The origin stays, so the hit distance keeps meaning "from the origin".
  ray.min_distance = ray.max_distance + scene.ray_epsilon;
  ray.max_distance = infinite_distance;
  ray.leaving = surface.triangle ? surface.id : no_surface;
}

}  // namespace engine

using namespace engine;

qorRay* qorRay::new_ray(uint32_t new_type) {
  auto* child = new engine_ray();
  start_child_ray(*this, new_type, *child);
  return child;
}

void qorRay::delete_ray() {
  delete static_cast<engine_ray*>(this);
}

bool qorRay::intersect() {
  const auto& self = static_cast<const engine_ray&>(*this);
  const qorScene& scene = scene_of(*this);
  if (!(max_distance >= min_distance)) return false;
  return scene.tracer->occluded(query_of(self));
}

bool qorRay::trace_primary(float color[3], int x, int y, float dx, float dy) {
  auto& self = static_cast<engine_ray&>(*this);
  qorScene& scene = scene_of(*this);
  thread->pixel_x = x;
  thread->pixel_y = y;
  thread->emission_enabled = 1;
  const float spread = scene.options.sample_spread;
  const int32_t pass = thread->iteration;
  film_offsets uncached;
  film_offsets* kept = scene.film_offsets_of(*thread);
  film_offsets& film = kept != nullptr ? *kept : uncached;
  const int strata = scene.pixel_strata;
  if (film.dx != dx || film.dy != dy || film.spread != spread || film.iteration != pass) {
    const film_filter& filter = scene.content.film.pixel_filter;
    film.dx = dx;
    film.dy = dy;
    film.spread = spread;
    film.iteration = pass;
    for (int s = 0; s < strata; ++s) {
      film.x[s] = filter.position(0, dx, spread, pass, s, strata);
      film.y[s] = filter.position(1, dy, spread, pass, s, strata);
    }
  }
  // The film pixel's corner plus the stratum's position, in sample pixels (the camera's raster).
  self.raster_x = double(x - x % strata) + strata * film.x[x % strata];
  self.raster_y = double(y - y % strata) + strata * film.y[y % strata];
  double lens_u = 0.5, lens_v = 0.5;
  if (scene.content.view.lens_radius > 0 && thread->random != nullptr) {
    lens_u = thread->random->next_float();
    lens_v = thread->random->next_float();
  }
  vec3 o, d;
  scene.camera.generate_ray(self.raster_x, self.raster_y, lens_u, lens_v, o, d);
  o.store(origin);
  d.store(direction);
  min_distance = 0;
  max_distance = infinite_distance;
  depth = 0;
  weight = scene.options.sample_weight_divisor;
  emission_scale = 1;
  result_flags = 0;
  path_length = 0;
  material = nullptr;
  medium = nullptr;
  medium_ior = 1;
  self.throughput = rgb::gray(1);
  self.camera_first_segment = true;
  self.leaving = no_surface;
  return trace_camera_path(self, color);
}

bool qorRay::trace_diffuse(float result[3]) {
  auto& self = static_cast<engine_ray&>(*this);
  result_flags = 0;
  self.throughput = rgb::gray(1);
  self.camera_first_segment = false;
  return trace_camera_path(self, result);
}

void qorRay::compute_ray_differentials() {
  const auto& self = static_cast<const engine_ray&>(*this);
  const qorScene& scene = scene_of(*this);
  const vec3 p = vec3::from(hit_position);
  if (self.camera_first_segment) {
    // Exact for a camera ray: where the rays through the neighbouring raster points meet the
    // tangent plane of the hit.
    const vec3 n = vec3::from(geometric_normal);
    vec3 ox, dx, oy, dy;
    scene.camera.generate_ray(self.raster_x + 1, self.raster_y, 0.5, 0.5, ox, dx);
    scene.camera.generate_ray(self.raster_x, self.raster_y + 1, 0.5, 0.5, oy, dy);
    if (scene.content.view.lens_radius > 0) {
      // The neighbours are pinhole rays through the lens centre.
      ox = oy = scene.camera.position();
    }
    const std::optional<vec3> px = on_plane(p, n, ox, dx);
    const std::optional<vec3> py = on_plane(p, n, oy, dy);
    if (px && py) {
      store_float3(differential_x, *px - p);
      store_float3(differential_y, *py - p);
      return;
    }
  }
  // After a specular bounce, for a diffuse continuation, or at a grazing hit: a pixel's cone
  // has spread over the whole path travelled from the camera, laid in the tangent plane.
  const double travelled = path_length + (std::isfinite(max_distance) ? max_distance : 0.0);
  vec3 t, b;
  orthonormal_basis(vec3::from(shading_normal), t, b);
  store_float3(differential_x, t * (travelled * scene.camera.pixel_tangent_x()));
  store_float3(differential_y, b * (travelled * scene.camera.pixel_tangent_y()));
}

qorRay* qor_get_primary_ray(qorScene& scene, int thread, uint32_t type) {
  return make_ray(&scene.context(thread).record, type);
}

void qor_init_medium(qorRay& ray, qorMaterial* material, float ior) {
  ray.medium = material;
  ray.medium_ior = ior;
}

void qor_init_medium(qorRay& ray, float ior) {
  ray.medium = nullptr;
  ray.medium_ior = ior;
}

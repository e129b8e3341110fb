#include "engine/runtime/traceable_scene.h"

#include <cmath>

namespace engine {

namespace {

void extend_by_shape(bounding_box& box, const shape& s, const affine_transform* world_from_object) {
  auto add = [&](const vec3& p) {
    box.extend(world_from_object ? world_from_object->point(p) : p);
  };
  if (s.kind == geometry_kind::sphere) {
    // The eight corners of the sphere's object-space box: exact for world spheres, a bound
    // under any affine placement.
    for (int corner = 0; corner < 8; ++corner) {
      add(s.center + vec3{(corner & 1) ? s.radius : -s.radius, (corner & 2) ? s.radius : -s.radius,
                          (corner & 4) ? s.radius : -s.radius});
    }
  } else {
    for (size_t i = 0; i < s.mesh.positions.size(); ++i) add(s.mesh.position(uint32_t(i)));
  }
}

// Moller-Trumbore in double precision; t within (t_min, t_max).
bool intersect_triangle(const vec3& o, const vec3& d, const vec3& p0, const vec3& p1,
                        const vec3& p2, double t_min, double t_max, double& t, double& u,
                        double& v) {
  const vec3 e1 = p1 - p0, e2 = p2 - p0;
  const vec3 pv = cross(d, e2);
  const double det = dot(e1, pv);
  if (det == 0 || !std::isfinite(det)) return false;
  const double inv = 1.0 / det;
  const vec3 tv = o - p0;
  u = dot(tv, pv) * inv;
  if (u < 0 || u > 1) return false;
  const vec3 qv = cross(tv, e1);
  v = dot(d, qv) * inv;
  if (v < 0 || u + v > 1) return false;
  t = dot(e2, qv) * inv;
  return t >= t_min && t <= t_max;
}

bool intersect_sphere(const vec3& o, const vec3& d, const vec3& c, double r, double t_min,
                      double t_max, double& t) {
  // Solved relative to the closest approach, which keeps the roots accurate far from the sphere.
  const vec3 oc = o - c;
  const double a = dot(d, d);
  const double b = dot(oc, d) / a;
  const vec3 closest = oc - d * b;
  const double disc = r * r - length_squared(closest);
  if (disc < 0) return false;
  const double h = std::sqrt(disc / a);
  const double near = -b - h, far = -b + h;
  if (near >= t_min && near <= t_max) {
    t = near;
    return true;
  }
  if (far >= t_min && far <= t_max) {
    t = far;
    return true;
  }
  return false;
}

// Closest hit among the shapes of one space; updates `best` and returns true when it improved.
bool intersect_shapes(const std::vector<shape>& shapes, const vec3& o, const vec3& d, double t_min,
                      double& t_max, int32_t instance, raw_hit& best) {
  bool found = false;
  for (uint32_t si = 0; si < shapes.size(); ++si) {
    const shape& s = shapes[si];
    if (s.kind == geometry_kind::sphere) {
      double t;
      if (intersect_sphere(o, d, s.center, s.radius, t_min, t_max, t)) {
        best = {t, instance, si, 0, 0, 0};
        t_max = t;
        found = true;
      }
      continue;
    }
    const triangle_mesh& m = s.mesh;
    for (size_t tri = 0; tri < m.triangle_count(); ++tri) {
      double t, u, v;
      if (intersect_triangle(o, d, m.position(m.indices[3 * tri]),
                             m.position(m.indices[3 * tri + 1]), m.position(m.indices[3 * tri + 2]),
                             t_min, t_max, t, u, v)) {
        best = {t, instance, si, uint32_t(tri), float(u), float(v)};
        t_max = t;
        found = true;
      }
    }
  }
  return found;
}

}  // namespace

bounding_box traceable_scene::bounds() const {
  bounding_box box;
  for (const shape& s : shapes) extend_by_shape(box, s, nullptr);
  for (const object_instance& inst : instances) {
    for (const shape& s : objects[inst.object].shapes)
      extend_by_shape(box, s, &inst.world_from_object);
  }
  return box;
}

double triangle_area(const triangle_mesh& mesh, size_t triangle) {
  const vec3 p0 = mesh.position(mesh.indices[3 * triangle]);
  const vec3 p1 = mesh.position(mesh.indices[3 * triangle + 1]);
  const vec3 p2 = mesh.position(mesh.indices[3 * triangle + 2]);
  return 0.5 * length(cross(p1 - p0, p2 - p0));
}

double shape_area(const shape& s) {
  if (s.kind == geometry_kind::sphere) return 4.0 * pi * s.radius * s.radius;
  double area = 0;
  for (size_t t = 0; t < s.mesh.triangle_count(); ++t) area += triangle_area(s.mesh, t);
  return area;
}

std::optional<raw_hit> brute_force_tracer::intersect(const ray_query& ray) const {
  raw_hit best;
  double t_max = ray.t_max;
  bool found =
      intersect_shapes(scene_.shapes, ray.origin, ray.direction, ray.t_min, t_max, -1, best);
  for (size_t k = 0; k < scene_.instances.size(); ++k) {
    const object_instance& inst = scene_.instances[k];
    // The direction is not renormalised, so t means the same in both spaces.
    const vec3 o = inst.object_from_world.point(ray.origin);
    const vec3 d = inst.object_from_world.vector(ray.direction);
    found |= intersect_shapes(scene_.objects[inst.object].shapes, o, d, ray.t_min, t_max,
                              int32_t(k), best);
  }
  if (!found) return std::nullopt;
  return best;
}

bool brute_force_tracer::occluded(const ray_query& ray) const {
  return intersect(ray).has_value();
}

const shape& hit_shape(const traceable_scene& scene, const raw_hit& hit) {
  if (hit.instance < 0) return scene.shapes[hit.shape];
  return scene.objects[scene.instances[hit.instance].object].shapes[hit.shape];
}

surface_hit resolve_hit(const traceable_scene& scene, const ray_query& ray, const raw_hit& hit) {
  const shape& s = hit_shape(scene, hit);
  const object_instance* inst = hit.instance >= 0 ? &scene.instances[hit.instance] : nullptr;
  surface_hit out;
  out.material = s.material;
  out.area_light = s.area_light;
  out.id = {hit.instance, hit.shape, hit.primitive};

  vec3 p, ng, ns;
  if (s.kind == geometry_kind::sphere) {
    const vec3 o = inst ? inst->object_from_world.point(ray.origin) : ray.origin;
    const vec3 d = inst ? inst->object_from_world.vector(ray.direction) : ray.direction;
    ng = normalize(o + d * hit.t - s.center);
    // Projected onto the sphere, so that a ray leaving it starts from the surface itself.
    p = s.center + ng * s.radius;
    if (s.flip_normal) ng = -ng;
    ns = ng;
  } else {
    out.triangle = true;
    const triangle_mesh& m = s.mesh;
    const uint32_t i0 = m.indices[3 * hit.primitive], i1 = m.indices[3 * hit.primitive + 1],
                   i2 = m.indices[3 * hit.primitive + 2];
    const vec3 p0 = m.position(i0), p1 = m.position(i1), p2 = m.position(i2);
    const double b1 = hit.u, b2 = hit.v, b0 = 1.0 - b1 - b2;
    p = p0 * b0 + p1 * b1 + p2 * b2;
    ng = m.face_normals.empty() ? m.winding_normal(hit.primitive) : m.face_normals[hit.primitive];
    if (s.flip_normal) ng = -ng;
    ns = ng;
    if (!m.normals.empty()) {
      const auto& n0 = m.normals[i0];
      const auto& n1 = m.normals[i1];
      const auto& n2 = m.normals[i2];
      const vec3 n = vec3{n0[0], n0[1], n0[2]} * b0 + vec3{n1[0], n1[1], n1[2]} * b1 +
                     vec3{n2[0], n2[1], n2[2]} * b2;
      if (length_squared(n) > 0) {
        ns = normalize(n);
        if (dot(ng, ns) < 0) ng = -ng;
      }
    }
    out.u = b1;
    out.v = b2;
  }
  if (inst) {
    p = inst->world_from_object.point(p);
    // Normals go through the inverse transpose of the placement.
    ng = normalize(inst->object_from_world.transposed_vector(ng));
    ns = normalize(inst->object_from_world.transposed_vector(ns));
  }
  out.position = p;
  out.geometric_normal = ng;
  out.shading_normal = ns;
  return out;
}

}  // namespace engine

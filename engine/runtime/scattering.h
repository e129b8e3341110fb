// Fresnel terms, specular directions and the warps from uniform numbers to directions and
// points that materials and lights sample with. Conventions follow pbrt-v4: cos_i is measured
// against the surface normal, negative when the ray arrives from inside; eta is the index inside
// over the index outside.
#pragma once

#include <optional>

#include "engine/runtime/vector_math.h"

namespace engine {

// Unpolarised Fresnel reflectance of a smooth dielectric boundary (pbrt-v4's FrDielectric);
// 1 under total internal reflection.
double fresnel_dielectric(double cos_i, double eta);

// Reflectance of a thin dielectric sheet, counting the light bounced inside it (pbrt-v4's
// ThinDielectricBxDF): R + T^2 R / (1 - R^2).
double fresnel_thin_dielectric(double cos_i, double eta);

// Mirror direction of the incoming direction d about the unit normal n.
vec3 reflect(const vec3& d, const vec3& n);

// Refracted direction of the unit incoming direction d at a boundary with unit normal n facing
// the side d comes from, with relative index eta_ratio = eta_incident / eta_transmitted; nullopt
// under total internal reflection.
std::optional<vec3> refract(const vec3& d, const vec3& n, double eta_ratio);

// Cosine-weighted direction about the unit normal n (pdf cos / pi).
vec3 sample_cosine_hemisphere(const vec3& n, double u1, double u2);
// Uniform direction on the sphere (pdf 1 / (4 pi)).
vec3 sample_uniform_sphere(double u1, double u2);
// Uniform direction within the cone of directions whose cosine with the unit axis is at least
// cos_max (pdf 1 / (2 pi (1 - cos_max))).
vec3 sample_uniform_cone(const vec3& axis, double cos_max, double u1, double u2);
// Uniform point on the unit disc, by Shirley and Chiu's concentric map.
void sample_concentric_disk(double u1, double u2, double& x, double& y);
// Uniform barycentrics (b1, b2) on a triangle: p = (1 - b1 - b2) p0 + b1 p1 + b2 p2.
void sample_uniform_triangle(double u1, double u2, double& b1, double& b2);

// pbrt-v4's smooth fall-off of a spot light between cos_end (0) and cos_start (1).
double smooth_step(double x, double a, double b);

// What a surface does to a ray that arrives in direction d.
struct scattering {
  enum class kind_type {
    diffuse,   // the Lambertian part: shading or cosine sampling is the caller's
    specular,  // reflected or refracted into `direction`
    pass,      // an interface: the ray goes on unchanged
    absorbed,  // no direction left (a reflection below the surface)
  };
  kind_type kind = kind_type::absorbed;
  vec3 direction;
  rgb weight{1, 1, 1};  // what the path's throughput is multiplied by
  bool transmitted = false;
  float medium_ior = 1;  // index of refraction on the side the ray continues into
  // Sampled from a rough lobe: a camera path takes the light of emitters this lobe reflects by
  // direct lighting at the surface (surface_material::glossy_reflection), not from the emitter
  // it may hit next.
  bool glossy = false;
};

// The normals of a hit as the ray sees them: cos_i > 0 when it arrives on the side the shape's
// normal points to; both normals turned to face the ray.
struct facing_normals {
  facing_normals(const vec3& d, const vec3& normal, const vec3& shading_normal)
      : cos_i(-dot(d, normal)),
        geometric(cos_i >= 0 ? normal : -normal),
        shading(dot(shading_normal, d) <= 0 ? shading_normal : -shading_normal) {}
  double cos_i;
  vec3 geometric;
  vec3 shading;
};

// Mirror direction about the shading normal, or about the geometric one when the shading normal
// would send it below the surface.
vec3 mirror(const vec3& d, const facing_normals& n);

}  // namespace engine

// Material "coatedconductor": a dielectric coat (index "interface.eta", roughness
// "interface.roughness" ...) of "thickness" over a conductor ("conductor.eta" and "conductor.k",
// or "reflectance"; roughness "conductor.roughness" ...), whose index is taken relative to the
// coat's. Light the coat does not reflect refracts into it, reflects off the conductor's lobe,
// and meets the coat again from inside, where it leaves (refracted, its lobe widened) or is
// reflected back down (total internal reflection included), up to "maxdepth" bounces; each
// crossing of the clear layer between them passes exp(-thickness / |cos|). This is pbrt-v4's
// layered surface without a medium: scatter follows one such walk, glossy_reflection estimates
// the surface's value for one pair of directions by a walk with light sampled through the coat
// at each bounce.
#include <bit>
#include <cstdint>

#include "engine/runtime/materials/material.h"
#include "engine/scene/vector_math.h"

namespace engine {

namespace {

// The walk inside the coat needs more numbers than an event's three: it draws them from this
// generator (splitmix64), seeded by the three, so that a path stays a deterministic function of
// its numbers and the module's Markov chain, which mutates those, sees one surface.
class walk_numbers {
 public:
  explicit walk_numbers(std::initializer_list<double> seed) {
    for (const double v : seed) state_ = mix(state_ ^ std::bit_cast<uint64_t>(v));
  }
  double next() { return double(mix(state_ += 0x9e3779b97f4a7c15ull) >> 11) * 0x1.0p-53; }

 private:
  static uint64_t mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  uint64_t state_ = 0x2545f4914f6cdd1dull;
};

// Directions below are in the local frame of the facing shading normal (z up, the coat at the
// top, the conductor below it), and follow pbrt-v4's convention: both point away from the
// interface, wo towards where the light goes, wi towards where it comes from.
struct lobe_sample {
  vec3 wi;
  rgb f;  // f(wo, wi)
  double pdf = 0;
  bool specular = false, transmitted = false;
};

double visible_normal_pdf(const trowbridge_reitz& d, const vec3& w, const vec3& wm) {
  return d.masking(w) / std::abs(w.z) * d.density(wm) * std::abs(dot(w, wm));
}

double power_heuristic(double f, double g) {
  return f * f / (f * f + g * g);
}

// The coat's interface of relative index eta, seen from either side. In radiance transport a
// refraction scales by 1 / etap^2 (etap: the index ratio across it in the light's direction
// reversed); a walk enters and leaves through this interface, so the two scales cancel in
// what it returns, and glossy_reflection's estimate keeps them as pbrt-v4's does.
struct coat_interface {
  double eta;
  std::optional<trowbridge_reitz> rough;

  // The transmitted direction of wo about the normal m (either side), and the index ratio.
  static std::optional<vec3> refract_about(const vec3& wo, vec3 m, double eta, double& etap) {
    double cos_o = dot(wo, m);
    if (cos_o < 0) {
      eta = 1 / eta;
      cos_o = -cos_o;
      m = -m;
    }
    const double sin2_t = (1 - cos_o * cos_o) / (eta * eta);
    if (sin2_t >= 1) return std::nullopt;
    etap = eta;
    return -wo / eta + m * (cos_o / eta - std::sqrt(1 - sin2_t));
  }

  std::optional<lobe_sample> sample(const vec3& wo, double uc, double u1, double u2,
                                    bool reflection, bool transmission, bool radiance) const {
    lobe_sample s;
    if (!rough) {
      const double r = fresnel_dielectric(wo.z, eta), t = 1 - r;
      const double pr = reflection ? r : 0, pt = transmission ? t : 0;
      if (!(pr + pt > 0)) return std::nullopt;
      s.specular = true;
      if (uc < pr / (pr + pt)) {
        s.wi = {-wo.x, -wo.y, wo.z};
        s.f = rgb::gray(float(r / std::abs(wo.z)));
        s.pdf = pr / (pr + pt);
        return s;
      }
      double etap = 1;
      const std::optional<vec3> wt = refract_about(wo, {0, 0, 1}, eta, etap);
      if (!wt || wt->z == 0) return std::nullopt;
      s.wi = *wt;
      s.f = rgb::gray(float(t / std::abs(wt->z) / (radiance ? etap * etap : 1)));
      s.pdf = pt / (pr + pt);
      s.transmitted = true;
      return s;
    }
    const vec3 wm = rough->sample_visible_normal(wo, u1, u2);
    const double r = fresnel_dielectric(dot(wo, wm), eta), t = 1 - r;
    const double pr = reflection ? r : 0, pt = transmission ? t : 0;
    if (!(pr + pt > 0)) return std::nullopt;
    if (uc < pr / (pr + pt)) {
      s.wi = wm * (2 * dot(wo, wm)) - wo;
      if (!(s.wi.z * wo.z > 0)) return std::nullopt;
      s.pdf = visible_normal_pdf(*rough, wo, wm) / (4 * std::abs(dot(wo, wm))) * pr / (pr + pt);
      s.f = rgb::gray(float(rough->density(wm) * rough->masking_shadowing(wo, s.wi) * r /
                            std::abs(4 * s.wi.z * wo.z)));
      return s;
    }
    double etap = 1;
    const std::optional<vec3> wt = refract_about(wo, wm, eta, etap);
    if (!wt || wt->z * wo.z >= 0) return std::nullopt;
    s.wi = *wt;
    const double denom = square(dot(s.wi, wm) + dot(wo, wm) / etap);
    s.pdf = visible_normal_pdf(*rough, wo, wm) * std::abs(dot(s.wi, wm)) / denom * pt / (pr + pt);
    s.f = rgb::gray(float(transmitted_value(wo, s.wi, wm, t, etap, denom, radiance)));
    s.transmitted = true;
    return s;
  }

  // The half vector of a rough pair (facing up) and the index ratio; nullopt where the pair
  // has no microfacet that joins them from the sides they are on.
  std::optional<vec3> half_vector(const vec3& wo, const vec3& wi, double& etap) const {
    etap = wo.z * wi.z > 0 ? 1 : (wo.z > 0 ? eta : 1 / eta);
    vec3 wm = wi * etap + wo;
    if (wo.z == 0 || wi.z == 0 || !(length_squared(wm) > 0)) return std::nullopt;
    wm = normalize(wm);
    if (wm.z < 0) wm = -wm;
    if (dot(wm, wi) * wi.z < 0 || dot(wm, wo) * wo.z < 0) return std::nullopt;
    return wm;
  }

  double transmitted_value(const vec3& wo, const vec3& wi, const vec3& wm, double t, double etap,
                           double denom, bool radiance) const {
    const double ft = t * rough->density(wm) * rough->masking_shadowing(wo, wi) *
                      std::abs(dot(wi, wm) * dot(wo, wm) / (wi.z * wo.z * denom));
    return radiance ? ft / (etap * etap) : ft;
  }

  double f(const vec3& wo, const vec3& wi, bool radiance) const {
    double etap;
    const std::optional<vec3> wm = rough ? half_vector(wo, wi, etap) : std::nullopt;
    if (!wm) return 0;
    const double r = fresnel_dielectric(dot(wo, *wm), eta);
    if (wo.z * wi.z > 0)
      return rough->density(*wm) * rough->masking_shadowing(wo, wi) * r / std::abs(4 * wi.z * wo.z);
    const double denom = square(dot(wi, *wm) + dot(wo, *wm) / etap);
    return transmitted_value(wo, wi, *wm, 1 - r, etap, denom, radiance);
  }

  double pdf(const vec3& wo, const vec3& wi, bool reflection, bool transmission) const {
    double etap;
    const std::optional<vec3> wm = rough ? half_vector(wo, wi, etap) : std::nullopt;
    if (!wm) return 0;
    const double r = fresnel_dielectric(dot(wo, *wm), eta);
    const double pr = reflection ? r : 0, pt = transmission ? 1 - r : 0;
    if (!(pr + pt > 0)) return 0;
    if (wo.z * wi.z > 0)
      return visible_normal_pdf(*rough, wo, *wm) / (4 * std::abs(dot(wo, *wm))) * pr / (pr + pt);
    const double denom = square(dot(wi, *wm) + dot(wo, *wm) / etap);
    return visible_normal_pdf(*rough, wo, *wm) * std::abs(dot(wi, *wm)) / denom * pt / (pr + pt);
  }

  static double square(double x) { return x * x; }
};

// The conductor under the coat, its index relative to the coat's; wo and wi above it.
struct base_interface {
  std::optional<trowbridge_reitz> rough;
  const conductor_index& index;
  const texture_point& at;
  float coat_eta;

  rgb fresnel(double cos) const { return index.fresnel(cos, at, coat_eta); }

  std::optional<lobe_sample> sample(const vec3& wo, double u1, double u2) const {
    lobe_sample s;
    if (!rough) {
      s.wi = {-wo.x, -wo.y, wo.z};
      s.f = fresnel(std::abs(wo.z)) * float(1 / std::abs(wo.z));
      s.pdf = 1;
      s.specular = true;
      return s;
    }
    if (wo.z == 0) return std::nullopt;
    const vec3 wm = rough->sample_visible_normal(wo, u1, u2);
    s.wi = wm * (2 * dot(wo, wm)) - wo;
    if (!(s.wi.z * wo.z > 0)) return std::nullopt;
    s.pdf = visible_normal_pdf(*rough, wo, wm) / (4 * std::abs(dot(wo, wm)));
    s.f = fresnel(std::abs(dot(wo, wm))) *
          float(rough->density(wm) * rough->masking_shadowing(wo, s.wi) /
                std::abs(4 * s.wi.z * wo.z));
    return s;
  }
  rgb f(const vec3& wo, const vec3& wi) const {
    if (!rough || !(wo.z * wi.z > 0) || !(length_squared(wo + wi) > 0)) return {};
    const vec3 wm = normalize(wo + wi);
    return fresnel(std::abs(dot(wo, wm))) *
           float(rough->density(wm) * rough->masking_shadowing(wo, wi) / std::abs(4 * wi.z * wo.z));
  }
  double pdf(const vec3& wo, const vec3& wi) const {
    if (!rough || !(wo.z * wi.z > 0) || !(length_squared(wo + wi) > 0)) return 0;
    vec3 wm = normalize(wo + wi);
    if (wm.z < 0) wm = -wm;
    return visible_normal_pdf(*rough, wo, wm) / (4 * std::abs(dot(wo, wm)));
  }
};

class coated_conductor_material final : public surface_material {
 public:
  coated_conductor_material(float coat_eta, surface_roughness coat_roughness, conductor_index base,
                            surface_roughness base_roughness, float thickness, int max_depth)
      : surface_material("coatedconductor"),
        coat_eta_(coat_eta),
        coat_roughness_(std::move(coat_roughness)),
        base_(std::move(base)),
        base_roughness_(std::move(base_roughness)),
        thickness_(thickness),
        max_depth_(max_depth) {}

  scattering scatter(const vec3& d, const facing_normals& n, const scatter_numbers& u,
                     const texture_point& at, bool) const override {
    const shading_frame frame(n.shading);
    const vec3 wo = frame.to_local(-d);
    if (!(wo.z > 0)) return {};
    const coat_interface top = coat(at);
    const base_interface bottom = base(at);
    // The event's own numbers choose the coat's reflection or refraction and its facet, so
    // that the light the coat reflects keeps the path's stratification.
    const std::optional<lobe_sample> first = top.sample(wo, u.branch, u.u1, u.u2, true, true, true);
    if (!first || first->wi.z == 0) return {};
    rgb beta = first->f * float(std::abs(first->wi.z) / first->pdf);
    vec3 w = first->wi;
    bool specular_path = first->specular;
    if (first->transmitted) {
      walk_numbers numbers{u.branch, u.u1, u.u2};
      bool at_top = true, left = false;
      for (int depth = 0; depth < max_depth_ && !left; ++depth) {
        if (depth > 3 && beta.max() < 0.25f) {
          const double q = std::max(0.0, 1.0 - beta.max());
          if (numbers.next() < q) return {};
          beta = beta * float(1 / (1 - q));
        }
        if (w.z == 0) return {};
        at_top = !at_top;
        beta = beta * crossing(w);
        const double uc = numbers.next(), u1 = numbers.next(), u2 = numbers.next();
        const std::optional<lobe_sample> s =
            at_top ? top.sample(-w, uc, u1, u2, true, true, true) : bottom.sample(-w, u1, u2);
        if (!s || !(s->pdf > 0) || s->wi.z == 0) return {};
        beta = beta * s->f * float(std::abs(s->wi.z) / s->pdf);
        specular_path = specular_path && s->specular;
        w = s->wi;
        left = s->transmitted;
      }
      if (!left) return {};
    }
    scattering out;
    out.direction = normalize(frame.to_world(w));
    if (!(dot(out.direction, n.geometric) > 0)) return {};
    out.kind = scattering::kind_type::specular;
    out.weight = beta;
    out.glossy = !specular_path;
    return out;
  }

  // pbrt-v4's estimate of a layered surface's value, with one walk: light from wi crosses the
  // coat along one sampled direction, and at each bounce off the conductor the walk adds that
  // light reflected towards it, and the light that the coat lets out towards wi after the
  // bounce, each weighted against the other by the power heuristic where both are rough. The
  // walk's numbers come from the two directions, so a pair always gets the same value.
  rgb glossy_reflection(const vec3& d, const facing_normals& n, const vec3& wi_world,
                        const texture_point& at) const override {
    if (!glossy()) return {};
    const shading_frame frame(n.shading);
    const vec3 wo = frame.to_local(-d), wi = frame.to_local(wi_world);
    if (!(wo.z > 0) || !(wi.z > 0) || !(dot(wi_world, n.geometric) > 0)) return {};
    const coat_interface top = coat(at);
    const base_interface bottom = base(at);
    rgb f = rgb::gray(float(top.f(wo, wi, true)));
    walk_numbers numbers{wo.x, wo.y, wo.z, wi.x, wi.y, wi.z};
    auto draw = [&] { return numbers.next(); };
    const double uo = draw(), uo1 = draw(), uo2 = draw();
    const std::optional<lobe_sample> wos = top.sample(wo, uo, uo1, uo2, false, true, true);
    const double ui = draw(), ui1 = draw(), ui2 = draw();
    const std::optional<lobe_sample> wis = top.sample(wi, ui, ui1, ui2, false, true, false);
    if (!wos || !(wos->pdf > 0) || wos->wi.z == 0 || !wis || !(wis->pdf > 0) || wis->wi.z == 0)
      return f * float(wi.z);
    rgb beta = wos->f * float(std::abs(wos->wi.z) / wos->pdf);
    vec3 w = wos->wi;
    bool at_top = true;
    for (int depth = 0; depth < max_depth_; ++depth) {
      if (depth > 3 && beta.max() < 0.25f) {
        const double q = std::max(0.0, 1.0 - beta.max());
        if (draw() < q) break;
        beta = beta * float(1 / (1 - q));
      }
      at_top = !at_top;
      beta = beta * crossing(w);
      if (at_top) {
        const double uc = draw(), u1 = draw(), u2 = draw();
        const std::optional<lobe_sample> s = top.sample(-w, uc, u1, u2, true, false, true);
        if (!s || !(s->pdf > 0) || s->wi.z == 0) break;
        beta = beta * s->f * float(std::abs(s->wi.z) / s->pdf);
        w = s->wi;
        continue;
      }
      if (bottom.rough) {  // towards wi along the direction sampled through the coat
        const double weight = top.rough ? power_heuristic(wis->pdf, bottom.pdf(-w, -wis->wi)) : 1;
        f += beta * bottom.f(-w, -wis->wi) * wis->f *
             float(std::abs(wis->wi.z) * weight / wis->pdf) * crossing(wis->wi);
      }
      const double u1 = draw(), u2 = draw();
      const std::optional<lobe_sample> s = bottom.sample(-w, u1, u2);
      if (!s || !(s->pdf > 0) || s->wi.z == 0) break;
      beta = beta * s->f * float(std::abs(s->wi.z) / s->pdf);
      w = s->wi;
      if (top.rough) {  // out through the coat towards wi along the conductor's sample
        const double exit = top.f(-w, wi, true);
        if (exit > 0) {
          // The other strategy reaches this direction inside by refracting wi: its density
          // over the same inside directions (not over wi's) keeps the two weights summing to 1.
          const double weight =
              bottom.rough ? power_heuristic(s->pdf, top.pdf(wi, -w, false, true)) : 1;
          f += beta * crossing(w) * float(exit * weight);
        }
      }
    }
    return f * float(wi.z);
  }

  bool glossy() const override { return !coat_roughness_.smooth() || !base_roughness_.smooth(); }
  int numbers_used() const override { return glossy() ? 3 : 1; }
  std::string settings() const override {
    return "eta " + qor::scene::text(coat_eta_) + ", coat " + coat_roughness_.text() +
           ", thickness " + qor::scene::text(thickness_) + ", conductor reflectance " +
           base_.text() + ", conductor " + base_roughness_.text();
  }

 private:
  coat_interface coat(const texture_point& at) const {
    // A coat of the outside's index bends nothing: its facets would only add noise.
    if (coat_eta_ == 1) return {1, std::nullopt};
    return {coat_eta_, coat_roughness_.lobe_at(at)};
  }
  base_interface base(const texture_point& at) const {
    return {base_roughness_.lobe_at(at), base_, at, coat_eta_};
  }
  // What the clear layer passes of light crossing it along w.
  rgb crossing(const vec3& w) const {
    return rgb::gray(float(std::exp(-thickness_ / std::abs(w.z))));
  }

  float coat_eta_;
  surface_roughness coat_roughness_;
  conductor_index base_;
  surface_roughness base_roughness_;
  float thickness_;
  int max_depth_;
};

}  // namespace

std::shared_ptr<surface_material> make_coated_conductor(const material_context& material) {
  const qor::scene::parameter_list& params = material.parameters();
  const float coat_eta = material.eta("interface.eta", 1.5f);
  conductor_index base;
  if (params.find("reflectance")) {
    base.reflectance = material.reflectance("reflectance", 1);
  } else {
    base = read_conductor_index(material, "conductor.", coat_eta);
  }
  const double thickness = params.get_float("thickness", 0.01);
  const int64_t max_depth = params.get_integer("maxdepth", 10);
  return std::make_shared<coated_conductor_material>(
      coat_eta, material.roughness("interface."), base, material.roughness("conductor."),
      float(std::max(thickness, 0.0)), int(std::clamp<int64_t>(max_depth, 1, 100)));
}

}  // namespace engine

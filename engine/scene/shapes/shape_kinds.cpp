#include <algorithm>
#include <cmath>

#include "engine/scene/kind_list.h"
#include "engine/scene/shapes/shape_kind.h"
#include "engine/scene/vector_math.h"

// Every shape kind: the name a Shape directive uses, and the file that defines make_<kind>.
#define QOR_SHAPE_KINDS(X) \
  X(trianglemesh)          \
  X(bilinearmesh)          \
  X(sphere)                \
  X(disk)                  \
  X(cylinder)              \
  X(plymesh)               \
  X(loopsubdiv)

namespace qor::scene {

#define QOR_DECLARE(kind) shape_description make_##kind(const shape_context& shape);
QOR_SHAPE_KINDS(QOR_DECLARE)
#undef QOR_DECLARE

namespace {

struct shape_kind {
  std::string_view name;
  shape_factory make;
};

constexpr shape_kind kinds[] = {
#define QOR_ENTRY(kind) {#kind, make_##kind},
    QOR_SHAPE_KINDS(QOR_ENTRY)
#undef QOR_ENTRY
};

}  // namespace

shape_factory find_shape_kind(std::string_view type) {
  for (const shape_kind& kind : kinds) {
    if (kind.name == type) return kind.make;
  }
  return nullptr;
}

std::string shape_kind_names() {
  std::string names;
  for (const shape_kind& kind : kinds)
    names += (names.empty() ? "" : ", ") + std::string(kind.name);
  return names;
}

shape_description placed_mesh(object_mesh mesh, const shape_context& shape) {
  const transform& ctm = shape.shape_from_object;
  shape_description s;
  s.positions.reserve(mesh.positions.size());
  for (const double3& p : mesh.positions) {
    double3 w = ctm.apply_point(p);
    float3 f{float(w[0]), float(w[1]), float(w[2])};
    if (!std::isfinite(f[0]) || !std::isfinite(f[1]) || !std::isfinite(f[2])) {
      throw scene_error(shape.location,
                        "expected finite vertex positions after transformation, found " + text(w));
    }
    s.positions.push_back(f);
  }
  bool normals_ok = !mesh.normals.empty();
  for (const double3& n : mesh.normals) {
    double3 w = ctm.apply_normal(n);
    double l = length(w);
    if (!(l > 0) || !std::isfinite(l)) {
      normals_ok = false;
      break;
    }
    double sign = shape.reverse_orientation ? -1 : 1;
    s.normals.push_back({float(sign * w[0] / l), float(sign * w[1] / l), float(sign * w[2] / l)});
  }
  if (!normals_ok) {
    if (!mesh.normals.empty()) {
      shape.warnings.warn(shape.location,
                          "some normals are zero or not finite; the shape's normals are discarded");
    }
    s.normals.clear();
  }
  s.uv = std::move(mesh.uv);
  s.indices = std::move(mesh.indices);
  if (s.uv.size() != s.positions.size()) s.uv.clear();
  return s;
}

object_mesh read_indexed_mesh(const shape_context& shape, size_t per_face) {
  const parameter_list& params = shape.parameters;
  const std::string& type = shape.type;
  object_mesh mesh;
  const parameter* P = params.get_array("P", parameter_type::point3);
  if (!P) {
    throw scene_error(shape.location,
                      "expected \"point3 P\" (the vertex positions) for " + type + ", found none");
  }
  size_t n = P->numbers.size() / 3;
  for (size_t i = 0; i < n; i++)
    mesh.positions.push_back({P->numbers[3 * i], P->numbers[3 * i + 1], P->numbers[3 * i + 2]});
  const parameter* indices = params.get_array("indices", parameter_type::integer);
  if (!indices) {
    if (n != per_face) {
      throw scene_error(shape.location, "expected \"integer indices\" for " + type + " with " +
                                            std::to_string(n) +
                                            " vertices, found none (they may be "
                                            "left out for exactly " +
                                            std::to_string(per_face) + ")");
    }
    for (size_t i = 0; i < per_face; i++) mesh.indices.push_back(uint32_t(i));
  } else {
    if (indices->numbers.size() % per_face != 0) {
      throw scene_error(indices->location, "expected a multiple of " + std::to_string(per_face) +
                                               " values for " + indices->declaration() +
                                               ", found " +
                                               std::to_string(indices->numbers.size()));
    }
    for (size_t i = 0; i < indices->numbers.size(); i++) {
      double v = indices->numbers[i];
      if (v < 0 || v >= double(n)) {
        throw scene_error(indices->value_location(i),
                          "expected a vertex index from 0 to " + std::to_string(int64_t(n) - 1) +
                              " in " + indices->declaration() + ", found " + text(v));
      }
      mesh.indices.push_back(uint32_t(v));
    }
  }
  if (const parameter* N = params.get_array("N", parameter_type::normal3)) {
    if (N->numbers.size() / 3 != n) {
      shape.warnings.warn(N->location, "expected one normal per vertex (" + std::to_string(n) +
                                           ") in " + N->declaration() + ", found " +
                                           std::to_string(N->numbers.size() / 3) +
                                           "; the normals are discarded");
    } else {
      for (size_t i = 0; i < n; i++)
        mesh.normals.push_back({N->numbers[3 * i], N->numbers[3 * i + 1], N->numbers[3 * i + 2]});
    }
  }
  for (const char* name : {"uv", "st"}) {
    const parameter* uv = params.find(name);
    if (!uv) continue;
    params.check_type(*uv, {parameter_type::point2, parameter_type::float_});
    if (uv->numbers.size() != 2 * n) {
      shape.warnings.warn(uv->location, "expected one texture coordinate pair per vertex (" +
                                            std::to_string(n) + ") in " + uv->declaration() +
                                            ", found " + std::to_string(uv->numbers.size() / 2) +
                                            "; they are discarded");
      continue;
    }
    for (size_t i = 0; i < n; i++)
      mesh.uv.push_back({float(uv->numbers[2 * i]), float(uv->numbers[2 * i + 1])});
    break;
  }
  return mesh;
}

double positive_parameter(const shape_context& shape, const char* name, double fallback) {
  const parameter* p = shape.parameters.find(name);
  double v = shape.parameters.get_float(name, fallback);
  if (!(v > 0)) {
    throw scene_error(p ? p->value_location(0) : shape.location,
                      std::string("expected a positive \"") + name + "\" for " + shape.type +
                          ", found " + text(v));
  }
  return v;
}

double phi_max(const shape_context& shape) {
  return std::clamp(shape.parameters.get_float("phimax", 360), 0.0, 360.0);
}

}  // namespace qor::scene

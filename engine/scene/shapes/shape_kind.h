// The shape kinds a Shape directive may name. Each kind is one file in this folder that defines
// its factory, make_<kind>, and one line in shape_kinds.cpp; a factory reads the kind's
// parameters and returns its geometry, a triangle mesh or a sphere, in the shape's space (the
// world, or an object's space inside ObjectBegin). The builder then adds what every shape has:
// material, area light, orientation and location.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/scene/parameters.h"
#include "engine/scene/parser.h"
#include "engine/scene/scene_description.h"

namespace qor::scene {

// What a shape kind's factory reads.
struct shape_context {
  const std::string& type;  // as written, for messages
  const parameter_list& parameters;
  const transform& shape_from_object;  // the current transformation
  bool reverse_orientation;
  const file_location& location;
  warning_sink& warnings;
  // Reads a file the shape names, resolved as Include resolves its paths; `what` names it in
  // the message when there is none ("the PLY file").
  std::function<loaded_file(const std::string& name, const file_location& at, const char* what)>
      load;
};

// A mesh in the shape's object space, before the builder places it.
struct object_mesh {
  std::vector<double3> positions;
  std::vector<double3> normals;  // empty or one per position, object space
  std::vector<float2> uv;        // empty or one per position
  std::vector<uint32_t> indices;
};

using shape_factory = shape_description (*)(const shape_context& shape);

// The factory of a kind, or null for a type no file defines.
shape_factory find_shape_kind(std::string_view type);
// "trianglemesh, bilinearmesh, ...", for the message about an unknown type.
std::string shape_kind_names();

// ---- What the kinds share

// The mesh carried into the shape's space with pbrt-v4's normal handling (normals negated under
// ReverseOrientation, dropped with a warning when the transformation degenerates them). Throws
// scene_error when a position leaves the finite range.
shape_description placed_mesh(object_mesh mesh, const shape_context& shape);

// "point3 P", "integer indices" (per_face of them per face, each within P), and the optional
// "normal N" and "point2 uv" (or "float st"), as triangle and bilinear meshes give them.
object_mesh read_indexed_mesh(const shape_context& shape, size_t per_face);

// A parameter that must be above 0; `fallback` when absent.
double positive_parameter(const shape_context& shape, const char* name, double fallback);
// "phimax" in degrees, clamped to [0, 360] as pbrt-v4 clamps it.
double phi_max(const shape_context& shape);

}  // namespace qor::scene

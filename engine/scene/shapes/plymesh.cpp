// Shape "plymesh": a mesh from a PLY file (ply_reader.h), its quads split into two triangles.
#include "engine/scene/ply_reader.h"
#include "engine/scene/shapes/shape_kind.h"

namespace qor::scene {

shape_description make_plymesh(const shape_context& shape) {
  const parameter* name = shape.parameters.find("filename");
  if (!name) {
    throw scene_error(shape.location, "expected \"string filename\" for plymesh, found none");
  }
  const std::string filename = shape.parameters.get_string("filename", "");
  const loaded_file file = shape.load(filename, name->value_location(0), "the PLY file");
  ply_mesh ply = read_ply(file.contents, file.path);
  if (ply.skipped_faces > 0) {
    shape.warnings.warn(shape.location, file.path + " has " + std::to_string(ply.skipped_faces) +
                                            " faces of more than four vertices; they are ignored, "
                                            "as pbrt-v4 ignores them");
  }
  object_mesh mesh;
  mesh.positions.reserve(ply.positions.size());
  for (const float3& p : ply.positions) mesh.positions.push_back({p[0], p[1], p[2]});
  for (const float3& n : ply.normals) mesh.normals.push_back({n[0], n[1], n[2]});
  mesh.uv = std::move(ply.uv);
  mesh.indices = std::move(ply.triangles);
  for (size_t q = 0; q + 4 <= ply.quads.size(); q += 4) {
    const uint32_t* v = &ply.quads[q];
    mesh.indices.insert(mesh.indices.end(), {v[0], v[1], v[2], v[0], v[2], v[3]});
  }
  if (mesh.indices.empty()) {
    shape.warnings.warn(shape.location,
                        file.path + " has no triangles or quads; the shape is empty");
  }
  return placed_mesh(std::move(mesh), shape);
}

}  // namespace qor::scene

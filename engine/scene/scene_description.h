// The scene as the pbrt-v4 reader hands it to the engine: plain records, no behaviour beyond a
// few helpers on transforms. Everything here is already in pbrt-v4's meaning: colours are linear
// sRGB triples, transforms are named destination_from_source, geometry that the engine traces
// as triangles is already tessellated, materials, lights and textures are kept as their
// directives' types and parameters for the runtime's kinds to read, and every record keeps the
// place in the scene file it came from so that an error found later still points into the file.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/scene/parameters.h"
#include "engine/scene/scene_basics.h"

namespace qor::scene {

// An affine or projective 4x4 transform with its inverse, row-major: m[row][column], applied to
// column vectors (p' = m * p). A singular matrix has an inverse full of NaN; the reader never
// hands one to the engine.
struct transform {
  std::array<std::array<double, 4>, 4> m{{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};
  std::array<std::array<double, 4>, 4> m_inverse{
      {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};

  static transform from_matrix(const std::array<std::array<double, 4>, 4>& m);
  transform inverse() const { return {m_inverse, m}; }
  bool invertible() const;
  bool is_identity() const;
  // True when the upper 3x3 has a negative determinant: pbrt-v4 then flips the geometric normal
  // of every shape it places (see shape_description).
  bool swaps_handedness() const;

  double3 apply_point(const double3& p) const;   // with the projective divide
  double3 apply_vector(const double3& v) const;  // upper 3x3 only
  double3 apply_normal(const double3& n) const;  // inverse transpose, not normalised
};

// a * b: apply b first, then a (so world_from_camera * camera_from_object = world_from_object).
transform operator*(const transform& a, const transform& b);

// Camera "perspective". pbrt-v4's camera space is left-handed: +x right on the image, +y up,
// +z forward.
struct camera_description {
  bool given = false;                // false: no Camera directive, pbrt-v4's defaults below
  std::string type = "perspective";  // other types are mapped to perspective with a warning
  transform camera_from_world;       // the current transformation matrix at Camera
  float fov = 90;                    // degrees, on the shorter image axis
  float lens_radius = 0;
  float focal_distance = 1e6f;
  // Image plane extent at distance 1 ([x0 x1 y0 y1] as pbrt-v4 writes it). Absent: the shorter
  // axis spans [-1, 1] and the longer one follows the frame aspect ratio.
  std::optional<std::array<float, 4>> screen_window;
  std::optional<float> frame_aspect_ratio;
  file_location location;
};

struct film_description {
  int xresolution = 1280;  // pbrt-v4's defaults
  int yresolution = 720;
  std::string filename;  // as written in the file; empty when not given
  // pbrt's [x0 x1 y0 y1] in [0, 1] image fractions, and the pixels it selects, [x0, x1) x [y0, y1)
  // computed as pbrt-v4 does (ceil of resolution times fraction). Without a crop window the
  // bounds cover the whole image.
  std::array<float, 4> crop_window{0, 1, 0, 1};
  int pixel_x0 = 0, pixel_x1 = 1280, pixel_y0 = 0, pixel_y1 = 720;
  file_location location;
};

// `PixelFilter`: the filter pbrt-v4 weights a pixel's samples with; the camera places its samples
// by it (engine/runtime/film_filter.h). pbrt-v4's defaults:
// a Gaussian of radius 1.5 and sigma 0.5 when the file gives no PixelFilter.
struct pixel_filter_description {
  std::string type = "gaussian";     // box, gaussian, mitchell, sinc or triangle
  float radius[2] = {1.5f, 1.5f};    // x and y, in pixels
  float sigma = 0.5f;                // gaussian
  float b = 1.0f / 3, c = 1.0f / 3;  // mitchell
  float tau = 3;                     // sinc (Lanczos windowed)
  file_location location;
};

// One parameter of `Integrator "ppm"` or `"asppm"`, kept raw: the command line maps it onto the
// renderer's parameter block by name and checks its value there.
struct raw_parameter {
  std::string type;  // as written: "integer", "float", "bool", "string", ...
  std::string name;
  std::vector<double> numbers;       // integer, float and bool (0/1) values
  std::vector<std::string> strings;  // string values
  file_location location;
};

struct render_settings {
  // Iterations of the progressive loop; each traces one camera sample per pixel. From
  // `Sampler "pixelsamples"` (pbrt-v4's SPPM counts iterations that way), overridden by
  // `Integrator "sppm" "integer numiterations"` (pbrt-v3's name).
  int iterations = 16;
  // Photons traced per iteration; 0 when the file does not say (pbrt-v4 then uses the number of
  // pixels).
  int64_t photons_per_iteration = 0;
  // `Integrator "sppm" "float radius"`: pbrt's initial search radius in world units, the same
  // for every point; 0 when the file does not say.
  float radius = 0;
  std::string integrator;  // the Integrator name as written; empty when not given
  std::vector<raw_parameter> renderer_parameters;  // for "ppm" / "asppm" only
  file_location sampler_location;
  file_location integrator_location;
};

// A material, light, area light or texture as the file gives it: the type its directive names
// and its parameters, unread. The runtime's kinds (engine/runtime/materials, lights, textures)
// read the parameters when they make the render-time scene, as pbrt-v4 creates its lights and
// materials from such records; the reader knows only the directives. Parameters nobody reads
// are reported then, each at its own place.
struct entity_description {
  std::string type;  // as written ("spot", "coateddiffuse", ...)
  parameter_list parameters;
  file_location location;
};

// Material, MakeNamedMaterial.
struct material_description : entity_description {
  std::string name;  // the MakeNamedMaterial name, empty for anonymous ones
};

// LightSource: a light that is not a surface.
struct light_description : entity_description {
  transform world_from_light;  // the transformation at the directive
};

// AreaLightSource, bound to the shapes that follow it in its attribute block.
struct area_light_description : entity_description {};

// Texture "name" "float" | "spectrum" "class".
struct texture_description : entity_description {
  std::string name;
  std::string value_type;
  transform world_from_texture;  // the transformation at the directive
};

// The geometry the ray tracer takes, what every pbrt shape becomes: a triangle mesh, or a sphere
// while it stays a whole sphere. The runtime's shapes are of these kinds too.
enum class geometry_kind { triangle_mesh, sphere };

// A shape, ready for the ray tracer. Each pbrt shape type is made by its kind's factory
// (engine/scene/shapes/).
//
// Which side a surface faces follows pbrt-v4. For a triangle (p0, p1, p2) the geometric normal is
// normalize(cross(p0 - p2, p1 - p2)), negated when reverse_orientation !=
// transform_swaps_handedness; when the mesh has normals, the geometric normal is then turned to the
// side of the interpolated shading normal. A sphere's normal points outwards, inwards under
// ReverseOrientation alone. A one-sided area light emits on the side its normal points to.
// Tessellated disks, cylinders, spheres and bilinear patches are wound so that this rule gives the
// normal pbrt-v4's own shape would have. For a shape of an object the rule applies in the
// object's space (its transform_swaps_handedness is that of its definition transform); an
// instance then carries the normal to the world as a normal (inverse transpose), which keeps it
// on the same side of the surface, as pbrt-v4 does.
struct shape_description {
  geometry_kind kind = geometry_kind::triangle_mesh;

  // triangle_mesh. Positions in the shape's space: world space for a shape of the world, the
  // object's space for a shape inside ObjectBegin/ObjectEnd.
  std::vector<float3> positions;
  std::vector<uint32_t> indices;  // three per triangle, each < positions.size()
  std::vector<float3> normals;    // empty or one per position; unit length; already negated under
                                  // ReverseOrientation, as pbrt-v4 does
  std::vector<float2> uv;         // empty or one per position

  // sphere, in the same space. `axes` are the sphere's own x, y and z axes there, unit length:
  // its (u, v) are measured about them, as pbrt-v4 measures them in the sphere's object space.
  float3 center{0, 0, 0};
  float radius = 0;
  std::array<float3, 3> axes{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};

  int32_t material = -1;    // index into scene_description::materials; always valid
  int32_t area_light = -1;  // index into scene_description::area_lights, or -1
  bool reverse_orientation = false;
  bool transform_swaps_handedness = false;
  std::string source_type;  // the pbrt shape type as written ("plymesh", "sphere", ...)
  file_location location;
};

// ObjectBegin "name" ... ObjectEnd: shapes in the object's space (their CTM inside the block).
struct object_description {
  std::string name;
  std::vector<shape_description> shapes;
  file_location location;
};

// ObjectInstance "name": the object placed in the world.
struct instance_description {
  int32_t object = -1;  // index into scene_description::objects
  transform world_from_instance;
  file_location location;
};

struct scene_description {
  camera_description camera;
  film_description film;
  pixel_filter_description pixel_filter;
  render_settings settings;
  std::vector<material_description> materials;  // every material a shape refers to, and every
                                                // named one; materials[0] is pbrt's default
                                                // (diffuse, 0.5)
  std::vector<light_description> lights;
  std::vector<area_light_description> area_lights;
  std::vector<texture_description> textures;
  std::vector<shape_description> shapes;  // world space
  std::vector<object_description> objects;
  std::vector<instance_description> instances;
};

struct parse_result {
  scene_description scene;
  std::vector<scene_warning> warnings;  // in the order they were found
};

}  // namespace qor::scene

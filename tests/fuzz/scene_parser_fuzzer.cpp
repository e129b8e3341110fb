// libFuzzer target for the scene reader. An input starting with "ply" is read as a PLY mesh;
// anything else is parsed as a scene that may Include or read a few fixed files (a scene, PLY
// meshes in each encoding), so that those paths are exercised too, and then made into the
// render-time scene by the engine's kinds (materials, lights, textures), as qor-render reads it.
// A scene_error is the expected answer to bad input; anything else escaping, a sanitizer report,
// or a scene that breaks the description's or the made scene's invariants is a finding.
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "engine/runtime/lights/light.h"
#include "engine/runtime/materials/material.h"
#include "engine/runtime/scene_conversion.h"
#include "engine/scene/parse_scene.h"
#include "engine/scene/ply_reader.h"

namespace {

using namespace qor::scene;

std::string gzip(const std::string& data) {
  z_stream s{};
  deflateInit2(&s, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&s, data.size()), '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  s.avail_in = uInt(data.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = uInt(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

const std::map<std::string, std::string>& files() {
  static const std::map<std::string, std::string> files = [] {
    std::map<std::string, std::string> f;
    f["inc.pbrt"] =
        "AttributeBegin\nMaterial \"conductor\"\nTranslate 0 1 0\nShape \"sphere\"\nAttributeEnd\n";
    f["a.ply"] =
        "ply\nformat ascii 1.0\nelement vertex 4\nproperty float x\nproperty float y\nproperty "
        "float z\nproperty float nx\nproperty float ny\nproperty float nz\nproperty float u\n"
        "property float v\nelement face 2\nproperty list uchar int vertex_indices\nend_header\n"
        "0 0 0 0 0 1 0 0\n1 0 0 0 0 1 1 0\n1 1 0 0 0 1 1 1\n0 1 0 0 0 1 0 1\n3 0 1 2\n4 0 1 2 3\n";
    std::string binary =
        "ply\nformat binary_big_endian 1.0\nelement vertex 3\nproperty float x\nproperty float "
        "y\nproperty float z\nelement face 1\nproperty list uchar uint vertex_indices\n"
        "end_header\n";
    const float p[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    for (float v : p) {
      uint32_t bits;
      std::memcpy(&bits, &v, 4);
      for (int i = 3; i >= 0; i--) binary += char((bits >> (8 * i)) & 0xff);
    }
    binary += '\x03';
    for (uint32_t index : {0u, 1u, 2u})
      for (int i = 3; i >= 0; i--) binary += char((index >> (8 * i)) & 0xff);
    f["b.ply"] = binary;
    f["c.ply.gz"] = gzip(binary);
    return f;
  }();
  return files;
}

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "scene description invariant broken: %s\n", what);
    std::abort();
  }
}

bool finite3(const float3& v) {
  return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

void check_shape(const scene_description& s, const shape_description& shape) {
  require(shape.material >= 0 && size_t(shape.material) < s.materials.size(), "material index");
  require(shape.area_light >= -1 &&
              (shape.area_light < 0 || size_t(shape.area_light) < s.area_lights.size()),
          "area light index");
  if (shape.kind == geometry_kind::sphere) {
    require(finite3(shape.center) && std::isfinite(shape.radius) && shape.radius > 0, "sphere");
    return;
  }
  require(shape.indices.size() % 3 == 0, "index count");
  for (uint32_t i : shape.indices) require(i < shape.positions.size(), "index range");
  for (const float3& p : shape.positions) require(finite3(p), "finite position");
  require(shape.normals.empty() || shape.normals.size() == shape.positions.size(), "normals");
  for (const float3& n : shape.normals) {
    double l = std::sqrt(double(n[0]) * n[0] + double(n[1]) * n[1] + double(n[2]) * n[2]);
    require(std::abs(l - 1) < 1e-3, "unit normal");
  }
  require(shape.uv.empty() || shape.uv.size() == shape.positions.size(), "uv");
}

void check(const scene_description& s) {
  require(!s.materials.empty(), "default material");
  for (const shape_description& shape : s.shapes) check_shape(s, shape);
  for (const object_description& object : s.objects)
    for (const shape_description& shape : object.shapes) check_shape(s, shape);
  for (const instance_description& instance : s.instances)
    require(instance.object >= 0 && size_t(instance.object) < s.objects.size(), "instance");
  const film_description& f = s.film;
  require(f.xresolution >= 1 && f.yresolution >= 1, "resolution");
  require(0 <= f.pixel_x0 && f.pixel_x0 < f.pixel_x1 && f.pixel_x1 <= f.xresolution, "crop x");
  require(0 <= f.pixel_y0 && f.pixel_y0 < f.pixel_y1 && f.pixel_y1 <= f.yresolution, "crop y");
  require(s.settings.iterations >= 1, "iterations");
  require(s.camera.fov > 0 && s.camera.fov < 180, "fov");
}

void check(const engine::traceable_scene& made) {
  auto finite = [](const engine::rgb& c) { return finite3({c.r, c.g, c.b}); };
  require(!made.materials.empty() && made.materials[0] != nullptr, "a material");
  for (const engine::light_source& l : made.lights) {
    require(finite(l.make({{0, 0, 0}, 1})->total_power()), "light power");
  }
  for (const engine::area_light_source& a : made.area_lights) {
    require(finite(a.radiance), "area light radiance");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  try {
    if (input.starts_with("ply")) {
      ply_mesh mesh = read_ply(input, "fuzz.ply");
      for (uint32_t i : mesh.triangles) require(i < mesh.positions.size(), "ply triangle index");
      for (uint32_t i : mesh.quads) require(i < mesh.positions.size(), "ply quad index");
    } else {
      parse_options options;
      options.load = [](const std::string& path) -> std::optional<std::string> {
        auto it = files().find(path);
        if (it == files().end()) return std::nullopt;
        return it->second;
      };
      parse_result r = parse_scene_string(input, "fuzz.pbrt", options);
      check(r.scene);
      warning_sink warnings{std::move(r.warnings)};
      check(engine::build_traceable_scene(r.scene, warnings));
      for (const scene_warning& w : warnings.warnings) (void)to_string(w);
    }
  } catch (const scene_error& e) {
    require(std::strstr(e.what(), ": error: ") != nullptr, "error message format");
  }
  return 0;
}

// The PLY reader in each encoding, compressed, through plymesh, and on broken files.
#include <zlib.h>

#include <bit>
#include <cstring>
#include <tuple>

#include "engine/scene/ply_reader.h"
#include "tests/engine/scene_test_util.h"

namespace qor::scene {
namespace {

// A square base (a quad) and two triangles of a pyramid, one pentagon that pbrt-v4 skips, an
// unknown vertex property and an unknown element between vertices and faces: the mesh each
// encoding of it must read as.
const ply_mesh pyramid{{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0.5f, 0.5f, 1}},
                       {{0, 0, 1}, {0, 0, 2}, {0, 0, 3}, {0, 0, 4}, {0, 0, 5}},
                       {{0, 1}, {0.25f, 0.75f}, {0.5f, 0.5f}, {0.75f, 0.25f}, {1, 0}},
                       {0, 1, 4, 1, 2, 4},
                       {0, 1, 2, 3},
                       1};
const std::vector<std::vector<int>> faces = {{0, 1, 2, 3}, {0, 1, 4}, {1, 2, 4}, {0, 1, 2, 3, 4}};

enum class encoding { ascii, little, big };

// One element's values in the file's encoding: ASCII as numbers on a line of their own.
struct ply_writer {
  encoding e;
  std::string out;
  template <typename T>
  void put(T value) {
    if (e == encoding::ascii) {
      char text[32];
      std::snprintf(text, sizeof text, "%g ", double(value));
      out += text;
      return;
    }
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    if ((e == encoding::little) != (std::endian::native == std::endian::little))
      std::reverse(bytes, bytes + sizeof(T));
    out.append(bytes, sizeof(T));
  }
  void end_row() {
    if (e == encoding::ascii) out.back() = '\n';
  }
};

std::string make_ply(encoding e) {
  const char* format = e == encoding::ascii    ? "ascii"
                       : e == encoding::little ? "binary_little_endian"
                                               : "binary_big_endian";
  ply_writer w{e, std::string("ply\r\nformat ") + format +
                      " 1.0\ncomment a test pyramid\nelement vertex 5\n"
                      "property float x\nproperty float y\nproperty float z\n"
                      "property uchar confidence\n"
                      "property float nx\nproperty float ny\nproperty float nz\n"
                      "property double s\nproperty double t\n"
                      "element edge 1\nproperty list uchar int vertex_pair\n"
                      "element face 4\nproperty list uchar uint vertex_indices\nend_header\n"};
  for (int i = 0; i < 5; i++) {
    for (float c : pyramid.positions[i]) w.put(c);
    w.put(uint8_t(7));
    for (float n : pyramid.normals[i]) w.put(n);
    for (float uv : pyramid.uv[i]) w.put(double(uv));
    w.end_row();
  }
  w.put(uint8_t(0));  // an empty list is a list too
  w.end_row();
  for (const auto& f : faces) {
    w.put(uint8_t(f.size()));
    for (int v : f) w.put(uint32_t(v));
    w.end_row();
  }
  return w.out;
}

std::string gzip(const std::string& data) {
  z_stream s{};
  EXPECT_EQ(deflateInit2(&s, Z_BEST_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY),
            Z_OK);
  std::string out(deflateBound(&s, data.size()), '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  s.avail_in = uInt(data.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = uInt(out.size());
  EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

TEST(ply_reader, reads_each_encoding_plain_and_gzip_compressed) {
  const auto fields = [](const ply_mesh& m) {
    return std::tie(m.positions, m.normals, m.uv, m.triangles, m.quads, m.skipped_faces);
  };
  for (encoding e : {encoding::ascii, encoding::little, encoding::big}) {
    for (bool compressed : {false, true}) {
      SCOPED_TRACE(int(e) * 2 + compressed);
      EXPECT_EQ(fields(read_ply(compressed ? gzip(make_ply(e)) : make_ply(e), "m.ply")),
                fields(pyramid));
    }
  }
}

TEST(ply_reader, plymesh_splits_quads_transforms_and_warns_about_skipped_faces) {
  parse_result r = testing::parse_world(
      "Translate 0 0 10\nShape \"plymesh\" \"string filename\" \"meshes/p.ply.gz\"\n",
      {{"meshes/p.ply.gz", gzip(make_ply(encoding::big))}});
  ASSERT_EQ(r.scene.shapes.size(), 1u);
  const shape_description& s = r.scene.shapes[0];
  // The file's triangles, then its quad as (0 1 2) (0 2 3), which keeps the quad's winding.
  EXPECT_EQ(s.indices, (std::vector<uint32_t>{0, 1, 4, 1, 2, 4, 0, 1, 2, 0, 2, 3}));
  EXPECT_FLOAT_EQ(s.positions[4][2], 11);
  EXPECT_FLOAT_EQ(s.normals[0][2], 1);  // normalised
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_NE(r.warnings[0].message.find("1 faces of more than four vertices"), std::string::npos);
}

// Each broken file is one error at the line and column at fault (line 1 for compressed data).
TEST(ply_reader, broken_files_name_where_they_break) {
  std::string value = make_ply(encoding::ascii), face = value, z = gzip(make_ply(encoding::little));
  value.replace(value.find("0.5 0.5 1") + 4, 3, "0.x");
  face.replace(face.find("3 0 1 4"), 7, "2 0 1  ");
  std::string flipped = z;
  flipped[z.size() / 2] ^= 0x55;
  flipped[z.size() / 2 + 1] ^= 0x55;
  // Three vertices of zeros, then a face list of 2000000000 (0x77359400) vertices.
  const std::string longer =
      "ply\nformat binary_little_endian 1.0\nelement vertex 3\nproperty float x\n"
      "property float y\nproperty float z\nelement face 1\n"
      "property list int int vertex_indices\nend_header\n" +
      std::string(36, '\0') + std::string("\x00\x94\x35\x77", 4);
  const struct {
    std::string contents;
    const char* where;
    const char* what;
  } cases[] = {
      {"plx\n", "bad.ply:1:1", "expected 'ply' on the first line"},
      {"ply\nformat binary_middle_endian 1.0\n", "bad.ply:2:1",
       "expected ascii, binary_little_endian or binary_big_endian"},
      {"ply\nformat ascii 1.0\nproperty float x\n", "bad.ply:3:1",
       "expected an 'element' line before its properties"},
      {"ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\n", "bad.ply:5:1",
       "expected 'end_header'"},
      {"ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nend_header\n1\n", "bad.ply:3:1",
       "expected properties x, y and z"},
      {"ply\nelement vertex 0\nend_header\n", "bad.ply:3:1", "expected a 'format' line"},
      {value, "bad.ply:23:5", "expected property 'y' of vertex 4 of 5 (a number), found '0.x'"},
      {face, "bad.ply:26:5", "expected a face of at least 3 vertices"},
      {flipped, "bad.ply:1:1", "gzip"},
      {longer, "bad.ply:10:1",
       "expected a list length between 0 and 0 for property 'vertex_indices' of face 0 of 1, found "
       "2000000000 at byte 36 of the data"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing::expect_error(testing::error_of([&] { read_ply(c.contents, "bad.ply"); }), c.where,
                          c.what);
  }
}

}  // namespace
}  // namespace qor::scene

// A reader of PLY meshes (ASCII, binary little- and big-endian, optionally gzip-compressed), for
// the attributes pbrt-v4's plymesh reads: positions, normals, texture coordinates, and triangle
// and quad faces.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/scene/scene_description.h"

namespace qor::scene {

struct ply_mesh {
  std::vector<float3> positions;
  std::vector<float3> normals;      // empty or one per position
  std::vector<float2> uv;           // empty or one per position
  std::vector<uint32_t> triangles;  // three indices per face
  std::vector<uint32_t> quads;      // four indices per face, in the file's order around the face
  size_t skipped_faces = 0;         // faces of more than four vertices, which pbrt-v4 ignores too
};

// Largest decompressed size accepted for a .ply.gz, so that a small corrupt file cannot claim
// the machine's memory.
inline constexpr size_t max_ply_bytes = size_t(1) << 31;

// `contents` is the whole file; `path` names it in messages. Throws scene_error with a location
// in the PLY file: line and column in the header and in ASCII data; in binary data the line
// after the header, with the byte offset in the message.
ply_mesh read_ply(const std::string& contents, const std::string& path);

// Inflates gzip data; throws scene_error naming `path` when it is corrupt or larger than
// max_ply_bytes.
std::string gunzip(const std::string& data, const std::string& path);

}  // namespace qor::scene

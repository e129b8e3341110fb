#include "engine/scene/ply_reader.h"

#include <zlib.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>

#include "engine/scene/parse_scene.h"

namespace qor::scene {

std::string gunzip(const std::string& data, const std::string& path) {
  z_stream stream{};
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) {
    throw scene_error({path, 1, 1}, "expected gzip data, found a stream zlib cannot open");
  }
  std::string out;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = uInt(std::min(data.size(), size_t(std::numeric_limits<uInt>::max())));
  char buffer[1 << 16];
  int status = Z_OK;
  while (status != Z_STREAM_END) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof(buffer);
    status = inflate(&stream, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END) {
      std::string why = status == Z_BUF_ERROR ? "the data ends early" : "corrupt data";
      inflateEnd(&stream);
      throw scene_error({path, 1, 1}, "expected complete gzip data, found " + why + " after " +
                                          std::to_string(out.size()) + " decompressed bytes");
    }
    out.append(buffer, sizeof(buffer) - stream.avail_out);
    if (out.size() > max_ply_bytes) {
      inflateEnd(&stream);
      throw scene_error({path, 1, 1}, "expected at most " + std::to_string(max_ply_bytes) +
                                          " bytes once decompressed, found more");
    }
    if (status == Z_OK && stream.avail_in == 0 && stream.avail_out != 0) {
      inflateEnd(&stream);
      throw scene_error({path, 1, 1}, "expected complete gzip data, found the data ends after " +
                                          std::to_string(out.size()) + " decompressed bytes");
    }
  }
  inflateEnd(&stream);
  return out;
}

namespace {

enum class scalar { int8, uint8, int16, uint16, int32, uint32, float32, float64 };

std::optional<scalar> parse_scalar(std::string_view name) {
  if (name == "char" || name == "int8") return scalar::int8;
  if (name == "uchar" || name == "uint8") return scalar::uint8;
  if (name == "short" || name == "int16") return scalar::int16;
  if (name == "ushort" || name == "uint16") return scalar::uint16;
  if (name == "int" || name == "int32") return scalar::int32;
  if (name == "uint" || name == "uint32") return scalar::uint32;
  if (name == "float" || name == "float32") return scalar::float32;
  if (name == "double" || name == "float64") return scalar::float64;
  return std::nullopt;
}

size_t scalar_size(scalar s) {
  switch (s) {
    case scalar::int8:
    case scalar::uint8:
      return 1;
    case scalar::int16:
    case scalar::uint16:
      return 2;
    case scalar::int32:
    case scalar::uint32:
    case scalar::float32:
      return 4;
    case scalar::float64:
      return 8;
  }
  return 1;
}

bool is_integer(scalar s) {
  return s != scalar::float32 && s != scalar::float64;
}

struct property {
  std::string name;
  scalar type;
  bool is_list = false;
  scalar count_type = scalar::uint8;
};

struct element {
  std::string name;
  size_t count = 0;
  std::vector<property> properties;
  int line = 0;  // of its "element" line
};

enum class format { ascii, binary_little_endian, binary_big_endian };

// What is being read, put into words only when a message needs it (a mesh has millions of values).
struct value_ref {
  const element* e;
  size_t item;
  const property* p;
  bool list_length;

  std::string item_text() const {
    return e->name + " " + std::to_string(item) + " of " + std::to_string(e->count);
  }
  std::string text() const {
    return std::string(list_length ? "the length of " : "") + "property '" + p->name + "' of " +
           item_text();
  }
};

// Reads values one at a time from the body, in either encoding, with the place of the last value
// read for messages.
class body_reader {
 public:
  body_reader(const std::string& data, size_t start, format f, std::string path, int line)
      : data_(data), pos_(start), start_(start), format_(f), path_(std::move(path)), line_(line) {}

  // Throws naming `what` when the data ends or a value does not parse.
  double read(scalar type, const value_ref& what) {
    if (format_ == format::ascii) return read_ascii(type, what);
    size_t size = scalar_size(type);
    if (data_.size() - pos_ < size) {
      throw scene_error(location(), "expected " + what.text() + ", found end of file at byte " +
                                        std::to_string(pos_ - start_) + " of the data");
    }
    unsigned char bytes[8];
    std::memcpy(bytes, data_.data() + pos_, size);
    bool file_little = format_ == format::binary_little_endian;
    if (file_little != (std::endian::native == std::endian::little)) {
      for (size_t i = 0; i < size / 2; i++) std::swap(bytes[i], bytes[size - 1 - i]);
    }
    value_offset_ = pos_ - start_;
    pos_ += size;
    switch (type) {
      case scalar::int8:
        return double(int8_t(bytes[0]));
      case scalar::uint8:
        return double(bytes[0]);
      case scalar::int16: {
        int16_t v;
        std::memcpy(&v, bytes, 2);
        return v;
      }
      case scalar::uint16: {
        uint16_t v;
        std::memcpy(&v, bytes, 2);
        return v;
      }
      case scalar::int32: {
        int32_t v;
        std::memcpy(&v, bytes, 4);
        return v;
      }
      case scalar::uint32: {
        uint32_t v;
        std::memcpy(&v, bytes, 4);
        return v;
      }
      case scalar::float32: {
        float v;
        std::memcpy(&v, bytes, 4);
        return v;
      }
      case scalar::float64: {
        double v;
        std::memcpy(&v, bytes, 8);
        return v;
      }
    }
    return 0;
  }

  // Where the last value read starts.
  file_location location() const {
    if (format_ == format::ascii) return {path_, value_line_, value_column_};
    return {path_, line_, 1};
  }
  std::string where() const {
    if (format_ == format::ascii) return "";
    return " at byte " + std::to_string(value_offset_) + " of the data";
  }
  size_t remaining() const { return data_.size() - pos_; }

 private:
  double read_ascii(scalar type, const value_ref& what) {
    while (pos_ < data_.size()) {
      char c = data_[pos_];
      if (c == '\n') {
        ++line_;
        column_ = 1;
      } else if (c == ' ' || c == '\t' || c == '\r') {
        ++column_;
      } else {
        break;
      }
      ++pos_;
    }
    value_line_ = line_;
    value_column_ = column_;
    if (pos_ >= data_.size()) {
      throw scene_error(location(), "expected " + what.text() + ", found end of file");
    }
    size_t begin = pos_;
    while (pos_ < data_.size() && data_[pos_] != ' ' && data_[pos_] != '\t' &&
           data_[pos_] != '\n' && data_[pos_] != '\r') {
      ++pos_;
      ++column_;
    }
    std::string_view text(data_.data() + begin, pos_ - begin);
    std::string_view digits = text;
    if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
    double v = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
    bool ok = ec == std::errc() && end == digits.data() + digits.size() && std::isfinite(v);
    if (ok && is_integer(type)) ok = v == std::floor(v);
    if (!ok) {
      std::string shown(text.substr(0, 40));
      for (char& ch : shown)
        if (static_cast<unsigned char>(ch) < 32 || ch == 127) ch = '?';
      throw scene_error(location(), "expected " + what.text() + " (" +
                                        (is_integer(type) ? "an integer" : "a number") +
                                        "), found '" + shown + "'");
    }
    return v;
  }

  const std::string& data_;
  size_t pos_, start_;
  format format_;
  std::string path_;
  int line_;
  int column_ = 1;
  int value_line_ = 0, value_column_ = 0;
  size_t value_offset_ = 0;
};

std::string number_text(double v) {
  if (v == std::floor(v) && std::abs(v) < 1e15) return std::to_string(int64_t(v));
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.9g", v);
  return buffer;
}

std::vector<std::string_view> split_words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

int find_property(const element& e, std::initializer_list<const char*> names) {
  for (const char* name : names)
    for (size_t i = 0; i < e.properties.size(); i++)
      if (!e.properties[i].is_list && e.properties[i].name == name) return int(i);
  return -1;
}

}  // namespace

ply_mesh read_ply(const std::string& raw, const std::string& path) {
  std::string inflated;
  const std::string* contents = &raw;
  if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0x1f &&
      static_cast<unsigned char>(raw[1]) == 0x8b) {
    inflated = gunzip(raw, path);
    contents = &inflated;
  }
  const std::string& data = *contents;

  // The header: lines up to end_header.
  size_t pos = 0;
  int line_number = 0;
  std::optional<format> fmt;
  std::vector<element> elements;
  bool ended = false;
  while (!ended) {
    if (pos >= data.size()) {
      throw scene_error({path, line_number + 1, 1},
                        "expected 'end_header' to end the PLY header, found end of file");
    }
    size_t eol = data.find('\n', pos);
    if (eol == std::string::npos) eol = data.size();
    std::string_view line(data.data() + pos, eol - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos = std::min(eol + 1, data.size());
    ++line_number;
    file_location loc{path, line_number, 1};
    auto words = split_words(line);
    auto found = [&]() {
      std::string shown(line.substr(0, 60));
      for (char& ch : shown)
        if (static_cast<unsigned char>(ch) < 32 || ch == 127) ch = '?';
      return "'" + shown + "'";
    };
    if (line_number == 1) {
      if (line != "ply")
        throw scene_error(loc, "expected 'ply' on the first line, found " + found());
      continue;
    }
    if (words.empty()) continue;
    std::string_view keyword = words[0];
    if (keyword == "comment" || keyword == "obj_info") continue;
    if (keyword == "format") {
      if (words.size() != 3 || words[2] != "1.0") {
        throw scene_error(loc, "expected 'format <encoding> 1.0', found " + found());
      }
      if (words[1] == "ascii") {
        fmt = format::ascii;
      } else if (words[1] == "binary_little_endian") {
        fmt = format::binary_little_endian;
      } else if (words[1] == "binary_big_endian") {
        fmt = format::binary_big_endian;
      } else {
        throw scene_error(loc,
                          "expected ascii, binary_little_endian or binary_big_endian, found '" +
                              std::string(words[1].substr(0, 40)) + "'");
      }
    } else if (keyword == "element") {
      unsigned long long count = 0;
      bool ok = words.size() == 3;
      if (ok) {
        auto [end, ec] = std::from_chars(words[2].data(), words[2].data() + words[2].size(), count);
        ok = ec == std::errc() && end == words[2].data() + words[2].size();
      }
      if (!ok) throw scene_error(loc, "expected 'element <name> <count>', found " + found());
      elements.push_back({std::string(words[1]), size_t(count), {}, line_number});
    } else if (keyword == "property") {
      if (elements.empty()) {
        throw scene_error(loc,
                          "expected an 'element' line before its properties, found " + found());
      }
      property p;
      if (words.size() == 5 && words[1] == "list") {
        auto count_type = parse_scalar(words[2]);
        auto type = parse_scalar(words[3]);
        if (!count_type || !type || !is_integer(*count_type)) {
          throw scene_error(
              loc, "expected 'property list <integer type> <type> <name>', found " + found());
        }
        p = {std::string(words[4]), *type, true, *count_type};
      } else if (words.size() == 3) {
        auto type = parse_scalar(words[1]);
        if (!type) {
          throw scene_error(loc,
                            "expected a property type (char, uchar, short, ushort, int, "
                            "uint, float, double), found '" +
                                std::string(words[1].substr(0, 40)) + "'");
        }
        p = {std::string(words[2]), *type, false, scalar::uint8};
      } else {
        throw scene_error(loc, "expected 'property <type> <name>', found " + found());
      }
      elements.back().properties.push_back(p);
    } else if (keyword == "end_header") {
      ended = true;
    } else {
      throw scene_error(loc,
                        "expected a PLY header line (format, element, property, comment, "
                        "end_header), found " +
                            found());
    }
  }
  if (!fmt)
    throw scene_error({path, line_number, 1},
                      "expected a 'format' line in the PLY header, found none");

  // Every element's smallest possible size must fit in what is left of the file, so that a
  // header claiming billions of vertices fails here instead of in an allocation.
  size_t body = data.size() - pos;
  size_t least = 0;
  for (const element& e : elements) {
    size_t per_item = 0;
    for (const property& p : e.properties)
      per_item += *fmt == format::ascii ? 2 : scalar_size(p.is_list ? p.count_type : p.type);
    if (per_item == 0) continue;
    if (e.count > (body - std::min(body, least)) / per_item) {
      throw scene_error({path, e.line, 1},
                        "expected the file to hold " + std::to_string(e.count) + " '" + e.name +
                            "' elements, found only " + std::to_string(body) +
                            " bytes of data for all elements (is the file truncated?)");
    }
    least += e.count * per_item;
  }

  ply_mesh mesh;
  const element* vertex = nullptr;
  for (const element& e : elements)
    if (e.name == "vertex") vertex = &e;
  if (!vertex) throw scene_error({path, line_number, 1}, "expected a 'vertex' element, found none");
  int px = find_property(*vertex, {"x"}), py = find_property(*vertex, {"y"}),
      pz = find_property(*vertex, {"z"});
  if (px < 0 || py < 0 || pz < 0) {
    throw scene_error({path, vertex->line, 1},
                      "expected properties x, y and z in the 'vertex' element, found some missing");
  }
  int nx = find_property(*vertex, {"nx"}), ny = find_property(*vertex, {"ny"}),
      nz = find_property(*vertex, {"nz"});
  bool has_normals = nx >= 0 && ny >= 0 && nz >= 0;
  int pu = find_property(*vertex, {"u", "s", "texture_u", "texture_s"});
  int pv = find_property(*vertex, {"v", "t", "texture_v", "texture_t"});
  bool has_uv = pu >= 0 && pv >= 0;
  size_t vertex_count = vertex->count;

  body_reader reader(data, pos, *fmt, path, line_number + 1);
  for (const element& e : elements) {
    bool is_vertex = &e == vertex;
    bool is_face = e.name == "face";
    if (is_vertex) {
      mesh.positions.resize(e.count);
      if (has_normals) mesh.normals.resize(e.count);
      if (has_uv) mesh.uv.resize(e.count);
    }
    // An element without properties holds no bytes, whatever count its header claims.
    if (e.properties.empty()) continue;
    std::vector<double> values(e.properties.size());
    std::vector<uint32_t> face;
    for (size_t item = 0; item < e.count; item++) {
      for (size_t pi = 0; pi < e.properties.size(); pi++) {
        const property& p = e.properties[pi];
        value_ref what{&e, item, &p, false};
        if (!p.is_list) {
          values[pi] = reader.read(p.type, what);
          continue;
        }
        double count = reader.read(p.count_type, {&e, item, &p, true});
        if (count < 0 || count > double(reader.remaining())) {
          throw scene_error(reader.location(), "expected a list length between 0 and " +
                                                   std::to_string(reader.remaining()) + " for " +
                                                   what.text() + ", found " + number_text(count) +
                                                   reader.where());
        }
        bool is_indices = is_face && (p.name == "vertex_indices" || p.name == "vertex_index");
        if (is_indices) face.clear();
        for (size_t k = 0; k < size_t(count); k++) {
          double v = reader.read(p.type, what);
          if (!is_indices) continue;
          if (v < 0 || v >= double(vertex_count) || v != std::floor(v)) {
            throw scene_error(reader.location(), "expected vertex indices from 0 to " +
                                                     std::to_string(int64_t(vertex_count) - 1) +
                                                     " in " + what.item_text() + ", found " +
                                                     number_text(v) + reader.where());
          }
          face.push_back(uint32_t(v));
        }
        if (is_indices) {
          if (face.size() < 3) {
            throw scene_error(reader.location(), "expected a face of at least 3 vertices in " +
                                                     what.item_text() + ", found " +
                                                     std::to_string(face.size()) + reader.where());
          }
          if (face.size() == 3) {
            mesh.triangles.insert(mesh.triangles.end(), face.begin(), face.end());
          } else if (face.size() == 4) {
            mesh.quads.insert(mesh.quads.end(), face.begin(), face.end());
          } else {
            ++mesh.skipped_faces;
          }
        }
      }
      if (is_vertex) {
        float3 p{float(values[px]), float(values[py]), float(values[pz])};
        for (float c : p) {
          if (!std::isfinite(c)) {
            throw scene_error(reader.location(),
                              "expected a finite position for " +
                                  value_ref{&e, item, nullptr, false}.item_text() +
                                  ", found a non-finite one" + reader.where());
          }
        }
        mesh.positions[item] = p;
        if (has_normals)
          mesh.normals[item] = {float(values[nx]), float(values[ny]), float(values[nz])};
        if (has_uv) mesh.uv[item] = {float(values[pu]), float(values[pv])};
      }
    }
  }
  return mesh;
}

}  // namespace qor::scene

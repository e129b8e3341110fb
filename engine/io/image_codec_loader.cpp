// Opening the image codec library (image_codec.h) on first use.
#include <dlfcn.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/io/image_codec.h"

namespace engine::io {

namespace {

constexpr const char* codec_file = "qor_image_codec.so";

// Beside the running program, where the build and an install put it; then where this build
// made it, for test programs that live in other directories.
std::vector<std::string> codec_candidates() {
  std::vector<std::string> paths;
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) paths.push_back((program.parent_path() / codec_file).string());
#ifdef QOR_IMAGE_CODEC_BUILT_AT
  paths.push_back(QOR_IMAGE_CODEC_BUILT_AT);
#endif
  return paths;
}

const image_codec* open_codec() {
  std::string failures;
  for (const std::string& path : codec_candidates()) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) continue;
    // Never closed: OpenImageIO keeps threads and caches to the end of the process.
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      failures.append("; ").append(dlerror());
      continue;
    }
    auto* entry = reinterpret_cast<const image_codec* (*)()>(dlsym(library, "qor_image_codec"));
    if (entry != nullptr) return entry();
    failures.append("; ").append(path).append(" has no qor_image_codec");
  }
  throw std::runtime_error(std::string("cannot open the image library ") + codec_file +
                           (failures.empty() ? " (not found beside the program)" : failures));
}

}  // namespace

bool image_codec_present() {
  for (const std::string& path : codec_candidates()) {
    std::error_code error;
    if (std::filesystem::exists(path, error)) return true;
  }
  return false;
}

const image_codec& loaded_image_codec() {
  // Opened once; a failed opening throws, and the next call tries again.
  static const image_codec* const codec = open_codec();
  return *codec;
}

}  // namespace engine::io

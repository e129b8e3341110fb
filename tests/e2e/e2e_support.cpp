#include "tests/e2e/e2e_support.h"

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

namespace e2e {

std::string shell_quoted(const std::string& word) {
  std::string out = "'";
  for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

size_t occurrences(const std::string& text, const std::string& word) {
  size_t n = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
  return n;
}

run_result run_qor_render(const std::filesystem::path& directory,
                          const std::vector<std::string>& arguments, const run_options& options) {
  std::string command = shell_quoted(QOR_RENDER_PATH);
  for (const std::string& argument : arguments) command.append(" ").append(shell_quoted(argument));
  if (options.time_limit > 0) {
    command.insert(0, "timeout " + std::to_string(options.time_limit) + " ");
  }
  std::string wrapped = options.shell;
  wrapped.replace(wrapped.find('%'), 1, command);
  run_result result;
  result.command = "cd ";
  result.command.append(shell_quoted(directory.string())).append(" && { ").append(wrapped);
  result.command.append("; } </dev/null >.stdout 2>.stderr");
  const int status = std::system(result.command.c_str());
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream err(directory / ".stderr");
  result.err.assign(std::istreambuf_iterator<char>(err), {});
  if (options.time_limit > 0) {
    EXPECT_NE(result.status, 124) << "qor-render did not finish: " << result.err;
  }
  return result;
}

rgb_image read_rgb_image(const std::string& path) {
  auto in = OIIO::ImageInput::open(path);
  const OIIO::ImageSpec layout = in ? in->spec_dimensions(0) : OIIO::ImageSpec();
  rgb_image image{layout.width, layout.height,
                  std::vector<float>(size_t(layout.width) * layout.height * 3)};
  if (layout.nchannels != 3 ||
      !in->read_image(0, 0, 0, 3, OIIO::TypeDesc::FLOAT, image.values.data())) {
    ADD_FAILURE() << path << ": " << layout.nchannels << " channels (3 expected) "
                  << (in ? in->geterror() : OIIO::geterror());
    return {};
  }
  return image;
}

std::vector<std::string> with(std::vector<std::string> options,
                              const std::vector<std::string>& more) {
  options.insert(options.end(), more.begin(), more.end());
  return options;
}

rgb_image qor_render_test::render(const std::string& scene, const std::vector<std::string>& options,
                                  const run_options& limits, std::string* messages) {
  const std::string image = path("render.exr");
  std::filesystem::remove(image);
  const run_result finished = run(with({scene, "--threads", "2", "-o", image}, options), limits);
  if (messages != nullptr) *messages = finished.err;
  if (finished.status != 0) {
    ADD_FAILURE() << finished.command << " failed:\n" << finished.err.substr(0, 2000);
    return {};
  }
  return read_rgb_image(image);
}

}  // namespace e2e

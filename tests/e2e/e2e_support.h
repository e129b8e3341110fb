// What the end-to-end tests share: running the built qor-render as a user's shell would, and
// reading the images it writes.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tests/scratch_directory.h"

namespace e2e {

// The word as one argument of the POSIX shell, whatever characters it holds.
std::string shell_quoted(const std::string& word);

// How often `word` occurs in `text` (lines, when it is "\n").
size_t occurrences(const std::string& text, const std::string& word);

struct run_options {
  // The shell command around qor-render, "%" standing for it (e.g. "xvfb-run -a %").
  std::string shell = "%";
  // Seconds after which `timeout` ends qor-render (status 124, a test failure); 0: no limit.
  int time_limit = 120;
};

struct run_result {
  int status = -1;      // the exit status; -1 when the shell did not exit normally
  std::string command;  // the shell line, for failure messages
  std::string err;
};

// Runs qor-render (the build's own) with `arguments` in `directory`, standard input from
// /dev/null, standard output and error captured in the files .stdout and .stderr there.
run_result run_qor_render(const std::filesystem::path& directory,
                          const std::vector<std::string>& arguments,
                          const run_options& options = {});

struct rgb_image {
  int width = 0, height = 0;
  std::vector<float> values;  // RGB, row-major from the top

  float at(int x, int y, int channel) const {
    return values[(size_t(y) * width + x) * 3 + channel];
  }
};

// A three-channel image file as float RGB. Anything else, or a file that cannot be read, is a
// test failure and gives an image without values.
rgb_image read_rgb_image(const std::string& path);

// `options` followed by `more`.
std::vector<std::string> with(std::vector<std::string> options,
                              const std::vector<std::string>& more);

// A test with its own directory, in which qor-render runs.
class qor_render_test : public test_support::scratch_directory_test {
 protected:
  run_result run(const std::vector<std::string>& arguments, const run_options& options = {}) {
    return run_qor_render(directory, arguments, options);
  }

  // Renders `scene` on two threads (the same job split on every machine) into an EXR and reads
  // it, leaving qor-render's standard error in `messages`. A failed run is a test failure and
  // gives an image without values.
  rgb_image render(const std::string& scene, const std::vector<std::string>& options,
                   const run_options& limits = {}, std::string* messages = nullptr);
};

}  // namespace e2e

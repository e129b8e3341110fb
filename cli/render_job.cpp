#include "cli/render_job.h"

#include <filesystem>

#include "cli/renderer_settings.h"
#include "engine/io/image_file.h"

namespace qor::cli {

namespace {

namespace fs = std::filesystem;

// An image name that cannot be written is worth knowing before the render, not after it.
void check_image_name(const std::string& what, const std::string& path) {
  if (!engine::io::image_format_for(path)) {
    throw settings_error("error: " + what + ": cannot write '" + path +
                         "': unknown image format (use .exr, .png, .jpg or .pfm)");
  }
  const fs::path directory = fs::path(path).parent_path();
  if (!directory.empty() && !fs::is_directory(directory)) {
    throw settings_error("error: " + what + ": cannot write '" + path + "': no directory '" +
                         directory.string() + "'");
  }
}

}  // namespace

std::string default_module_path() {
  std::error_code error;
  const fs::path executable = fs::read_symlink("/proc/self/exe", error);
  if (error) return "ppm.so";
  return (executable.parent_path() / "ppm.so").string();
}

render_job job_from_command_line(const command_line& line) {
  render_job job;
  job.scene_path = line.scene_path;
  try {
    job.keys = engine::io::parse_key_script(line.keys);
  } catch (const std::invalid_argument& error) {
    throw settings_error(std::string("error: --keys: ") + error.what());
  }
  if (line.view) job.keys.insert(job.keys.begin(), {1, uint32_t('0' + *line.view)});
  job.output = line.output;
  if (!job.output.empty()) check_image_name("-o", job.output);
  job.preview_file = line.preview_file;
  if (!job.preview_file.empty()) check_image_name("--preview", job.preview_file);
  job.reference = line.reference;
  job.convergence_csv = line.convergence_csv;
  job.parameters = command_line_parameters(line.parameters);
  job.module_path = line.module_path.empty() ? default_module_path() : line.module_path;
  job.renderer = line.renderer;
  job.engine.threads = line.threads;
  job.time_limit = line.time_limit;
  job.window = line.window;
  job.verbosity = line.verbosity;
  return job;
}

void add_scene_parameters(render_job& job, const qor::scene::scene_description& scene,
                          std::vector<parameter_value> host_choice) {
  std::vector<parameter_value> parameters = std::move(host_choice);
  const std::vector<parameter_value> own = scene_parameters(scene.settings);
  parameters.insert(parameters.end(), own.begin(), own.end());
  parameters.insert(parameters.end(), job.parameters.begin(), job.parameters.end());
  job.parameters = std::move(parameters);
}

void set_image_region(render_job& job, const command_line& line,
                      const qor::scene::scene_description& scene) {
  const int width = line.resolution ? (*line.resolution)[0] : scene.film.xresolution;
  const int height = line.resolution ? (*line.resolution)[1] : scene.film.yresolution;
  if (line.resolution) {
    job.engine.width = width;
    job.engine.height = height;
  }
  if (line.crop) {
    const auto& crop = *line.crop;
    if (crop[2] > width || crop[3] > height) {
      throw settings_error("error: --crop: the region " + std::to_string(crop[0]) + "," +
                           std::to_string(crop[1]) + "," + std::to_string(crop[2]) + "," +
                           std::to_string(crop[3]) + " reaches outside the " +
                           std::to_string(width) + "x" + std::to_string(height) + " image");
    }
    std::copy(crop.begin(), crop.end(), job.engine.crop);
  }
}

void complete_with_scene(render_job& job, const command_line& line,
                         const qor::scene::scene_description& scene) {
  if (job.output.empty()) {
    job.output = !scene.film.filename.empty() ? scene.film.filename
                                              : fs::path(line.scene_path).stem().string() + ".exr";
    check_image_name("Film filename", job.output);
  }
  // The convergence log goes beside the image it describes, named after it, so runs of several
  // settings into several images keep their logs apart without another option.
  if (!job.reference.empty() && job.convergence_csv.empty()) {
    job.convergence_csv = fs::path(job.output).replace_extension(".convergence.csv").string();
  }

  if (job.renderer.empty()) {
    const std::string& integrator = scene.settings.integrator;
    job.renderer = integrator == "ppm" || integrator == "asppm" ? integrator : "ppm";
  }
}

}  // namespace qor::cli

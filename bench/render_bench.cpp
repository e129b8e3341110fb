// Whole-render benchmark: renders a scene through ppm.so, as qor-render does and with the
// parameters qor-render gives it (the host's choice for the scene unless --module-defaults, then
// the scene's and the command line's), and says where the time goes. It takes qor-render's
// options (the scene, --iterations, --photons, --set, --threads, --resolution, --crop, --module,
// --module-defaults, -o) and prints, per phase of an iteration, the wall-clock and
// process CPU time; the photon paths, hits and rays per second; the photon rays per CPU-second as
// a share of Embree's own rate on the scene's light rays (bench/embree_rays.h, timed in this
// process for a second before and a second after the render, and averaged, so that a machine
// whose speed drifts during the render moves both rates alike); and the peak memory.
//
//   render_bench scenes/cornell-box.pbrt --iterations 8 [--per-iteration] [--scaling]
//
// --scaling renders twice, on 1 thread and on --threads (default: every core), and prints the
// photon pass's speedup and its CPU time per photon path on each: equal CPU per path is ideal
// scaling, which a machine busy with other work still shows when its wall-clock time cannot.
//
// The phases are told apart by the renderer's own messages, each stamped as it arrives (the
// renderer sends them from its driver thread, between the phases):
//   eye pass       iteration start .. "[n] Image sampling"
//   tree build     .. "[n] Build ppm structure" (with the carry-over of the per-pixel history)
//   photon tracing .. "[n] Photon tracing"
//   refinement     .. "[n] Visualize", else "[n] Elapsed time" (with the points file, the
//                     per-pixel merge and smoothing)
//   output         .. "[n] Elapsed time" (input, painting the view, showing it)
// The first iteration starts at "Created ... photon emission jobs"; set-up before it (scene,
// Embree, module, emitters and jobs) is reported apart. CPU time is the whole process's
// (getrusage), so another program running on the machine does not inflate it, while the
// wall-clock time it does.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "bench/embree_rays.h"
#include "cli/command_line.h"
#include "cli/parameter_table.h"
#include "cli/render_job.h"
#include "cli/scene_view.h"
#include "engine/io/image_file.h"
#include "engine/runtime/engine.h"
#include "engine/runtime/scene_conversion.h"
#include "engine/scene/parse_scene.h"

namespace {

double wall_seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         1e-6 * double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

struct stamp {
  double wall = 0, cpu = 0;
};

enum phase { eye_pass, tree_build, photon_tracing, refinement, output, phase_count };
constexpr const char* phase_names[phase_count] = {"eye pass", "tree build", "photon tracing",
                                                  "refinement", "output"};

// What the messages of one iteration tell.
struct iteration_record {
  std::map<std::string, stamp> marks;  // first arrival of each kind of message
  engine::photon_statistics photons;   // the engine's totals when its photon pass ended
};

// The iteration a message "[n] ..." belongs to and what it says after the number.
bool split_iteration(std::string_view text, int& iteration, std::string_view& rest) {
  if (text.empty() || text[0] != '[') return false;
  const size_t close = text.find("] ");
  if (close == std::string_view::npos) return false;
  iteration = std::atoi(std::string(text.substr(1, close - 1)).c_str());
  rest = text.substr(close + 2);
  return iteration > 0;
}

std::string_view kind_of(std::string_view rest) {
  for (std::string_view kind : {"Image sampling", "Build ppm structure", "Photon tracing",
                                "Refining points", "Visualize", "Elapsed time"}) {
    if (rest.substr(0, kind.size()) == kind) return kind;
  }
  return {};
}

double mebibytes(double bytes) {
  return bytes / (1024.0 * 1024.0);
}

// What one render measured.
struct render_figures {
  bool ok = false;
  int threads = 0;
  size_t iterations = 0;
  double photon_wall = 0, photon_cpu = 0;  // the photon passes, in all
  engine::photon_statistics photons;
  double embree_rate_after = 0;  // Embree's rate on the scene's light rays, right after
};

// Renders the scene once on `threads` threads (0: the engine's default) and prints the report.
render_figures render_and_report(const qor::cli::command_line& line,
                                 const qor::cli::render_job& job,
                                 const engine::traceable_scene& scene, int requested_threads,
                                 bool per_iteration, const bench::scene_rays& rays,
                                 double embree_rate_before) {
  render_figures figures;
  const stamp start{wall_seconds(), cpu_seconds()};
  std::mutex mutex;
  std::map<int, iteration_record> iterations;
  stamp jobs_created;
  uint64_t photons_per_pass = 0;
  engine::render_engine* engine_for_messages = nullptr;
  engine::host_callbacks callbacks;
  callbacks.message = [&](engine::message_kind kind, std::string_view text) {
    const stamp now{wall_seconds(), cpu_seconds()};
    if (kind == engine::message_kind::warning || kind == engine::message_kind::error ||
        kind == engine::message_kind::critical) {
      std::cerr << text;
    }
    std::lock_guard lock(mutex);
    unsigned emitted = 0;
    if (std::sscanf(std::string(text).c_str(), "Created %*d photon emission jobs (Emitting %u",
                    &emitted) == 1) {
      photons_per_pass = emitted;
      jobs_created = now;
      return;
    }
    int iteration = 0;
    std::string_view rest;
    if (!split_iteration(text, iteration, rest)) return;
    const std::string_view kind_name = kind_of(rest);
    if (kind_name.empty()) return;
    iteration_record& record = iterations[iteration];
    const auto [mark, first] = record.marks.emplace(std::string(kind_name), now);
    // The pass's threads have been joined when it reports its time: the tallies are exact.
    if (first && kind_name == "Photon tracing" && engine_for_messages != nullptr) {
      record.photons = engine_for_messages->photons();
    }
  };
  callbacks.output_block = [&](const qorImage_block& block) {
    if (line.output.empty() || engine_for_messages == nullptr) return;
    engine::io::write_image(line.output, block, engine_for_messages->options().display_scale);
  };

  engine::engine_settings settings = job.engine;
  settings.threads = requested_threads;

  int iteration_limit = 0, threads = 0;
  stamp rendered;
  try {
    engine::render_engine engine(scene, settings, callbacks);
    engine_for_messages = &engine;
    threads = engine.thread_count();
    qorInstaller& installer = engine.load_module(job.module_path);
    if (installer.parameter_size() != int(qor::cli::parameter_block_size)) {
      std::cerr << job.module_path << ": not the ppm renderer's parameter block\n";
      return figures;
    }
    qor::cli::parameter_block block(qor::cli::parameter_block_size);
    installer.default_parameters(engine.scene(), block.data());
    block.assign(job.parameters);
    iteration_limit = block.get_int(*qor::cli::find_parameter("max_iterations"));
    installer.create(engine.scene(), block.data());
    engine.render_frame(job.renderer);
    rendered = {wall_seconds(), cpu_seconds()};
    engine_for_messages = nullptr;
  } catch (const std::exception& error) {
    std::cerr << "error: " << error.what() << "\n";
    return figures;
  }
  // Phase times per iteration from the marks; an iteration that skipped a phase (no points)
  // has no mark for it and counts zero there.
  struct totals {
    double wall[phase_count] = {}, cpu[phase_count] = {};
  } sum;
  std::vector<totals> each;
  stamp previous_end = jobs_created;
  engine::photon_statistics previous_photons;
  double photon_wall = 0, photon_cpu = 0;
  for (auto& [n, record] : iterations) {
    totals t;
    auto at = [&](const char* kind) -> const stamp* {
      auto it = record.marks.find(kind);
      return it == record.marks.end() ? nullptr : &it->second;
    };
    const stamp* image = at("Image sampling");
    const stamp* built = at("Build ppm structure");
    const stamp* traced = at("Photon tracing");
    const stamp* shown = at("Visualize");
    const stamp* ended = at("Elapsed time");
    if (image == nullptr || ended == nullptr) continue;  // a render cut short
    stamp from = previous_end;
    auto close = [&](phase p, const stamp* to) {
      if (to == nullptr) return;
      t.wall[p] = to->wall - from.wall;
      t.cpu[p] = to->cpu - from.cpu;
      from = *to;
    };
    close(eye_pass, image);
    close(tree_build, built);
    close(photon_tracing, traced);
    close(refinement, shown != nullptr ? shown : ended);
    if (shown != nullptr) close(output, ended);
    previous_end = *ended;
    for (int p = 0; p < phase_count; ++p) {
      sum.wall[p] += t.wall[p];
      sum.cpu[p] += t.cpu[p];
    }
    each.push_back(t);
    if (traced != nullptr) {
      photon_wall += t.wall[photon_tracing];
      photon_cpu += t.cpu[photon_tracing];
      previous_photons = record.photons;
    }
  }
  const engine::photon_statistics photons = previous_photons;
  const size_t n = std::max<size_t>(each.size(), 1);
  const engine::memory_usage memory = engine::current_memory_usage();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);

  std::printf("scene %s, %d threads, %zu iterations of %d, %llu photons per pass\n",
              line.scene_path.c_str(), threads, each.size(), iteration_limit,
              static_cast<unsigned long long>(photons_per_pass));
  std::printf("set-up (scene, Embree, module, emitters, jobs): wall %.3f s, cpu %.3f s\n",
              jobs_created.wall - start.wall, jobs_created.cpu - start.cpu);
  std::printf("\n%-16s %14s %14s %8s\n", "phase", "wall s/iter", "cpu s/iter", "of wall");
  double wall_total = 0, cpu_total = 0;
  for (int p = 0; p < phase_count; ++p) {
    wall_total += sum.wall[p];
    cpu_total += sum.cpu[p];
  }
  for (int p = 0; p < phase_count; ++p) {
    std::printf("%-16s %14.4f %14.4f %7.1f%%\n", phase_names[p], sum.wall[p] / n, sum.cpu[p] / n,
                wall_total > 0 ? 100 * sum.wall[p] / wall_total : 0.0);
  }
  std::printf("%-16s %14.4f %14.4f\n", "iteration", wall_total / n, cpu_total / n);
  std::printf("whole render: wall %.2f s, cpu %.2f s (%.2f cores busy)\n",
              rendered.wall - start.wall, rendered.cpu - start.cpu,
              (rendered.cpu - start.cpu) / std::max(1e-9, rendered.wall - start.wall));

  auto rates = [&](const char* what, uint64_t count) {
    std::printf("%-22s %12llu  %8.0f per pass  %10.3g /s wall  %10.3g /s cpu\n", what,
                static_cast<unsigned long long>(count), double(count) / n,
                photon_wall > 0 ? double(count) / photon_wall : 0.0,
                photon_cpu > 0 ? double(count) / photon_cpu : 0.0);
  };
  std::printf("\nphoton tracing, %.2f s wall and %.2f s cpu in all:\n", photon_wall, photon_cpu);
  rates("photon paths", photons.paths);
  rates("photon hits (stored)", photons.hits);
  rates("photon rays", photons.segments);
  figures.embree_rate_after = bench::embree_rays_per_cpu_second(rays.world, rays.light_rays, 1.0);
  const double embree_rate = (embree_rate_before + figures.embree_rate_after) / 2;
  if (photon_cpu > 0 && embree_rate > 0) {
    const double per_core = double(photons.segments) / photon_cpu;
    std::printf(
        "photon rays per cpu-second %.3g = %.1f%% of Embree's light-ray rate %.3g /s "
        "(%.3g before the render, %.3g after)\n",
        per_core, 100 * per_core / embree_rate, embree_rate, embree_rate_before,
        figures.embree_rate_after);
  }

  std::printf("\npeak aligned memory (module arrays) %.1f MiB, max resident set %.1f MiB\n",
              mebibytes(double(memory.peak_bytes)), double(usage.ru_maxrss) / 1024.0);

  if (per_iteration) {
    std::printf("\n%5s", "iter");
    for (const char* name : phase_names) std::printf(" %15s", name);
    std::printf("   (wall s)\n");
    for (size_t i = 0; i < each.size(); ++i) {
      std::printf("%5zu", i + 1);
      for (int p = 0; p < phase_count; ++p) std::printf(" %15.4f", each[i].wall[p]);
      std::printf("\n");
    }
  }
  figures.ok = true;
  figures.threads = threads;
  figures.iterations = each.size();
  figures.photon_wall = photon_wall;
  figures.photon_cpu = photon_cpu;
  figures.photons = photons;
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  // Our own options first; the rest are qor-render's.
  bool per_iteration = false, scaling = false;
  std::vector<const char*> arguments;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--per-iteration") == 0) {
      per_iteration = true;
    } else if (std::strcmp(argv[i], "--scaling") == 0) {
      scaling = true;
    } else {
      arguments.push_back(argv[i]);
    }
  }
  auto parsed =
      qor::cli::parse_command_line(int(arguments.size()), arguments.data(), std::cout, std::cerr);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  const qor::cli::command_line& line = std::get<qor::cli::command_line>(parsed);
  if (line.scene_path.empty()) {
    std::cerr << "usage: render_bench SCENE [qor-render options] [--per-iteration] [--scaling]\n";
    return 2;
  }

  // The job as qor-render makes it: the host's parameter choice for the image rendered, then the
  // scene's own parameters and the command line's.
  qor::cli::render_job job;
  engine::traceable_scene scene;
  bench::scene_rays rays;
  double embree_rate = 0;
  try {
    job = qor::cli::job_from_command_line(line);
    const qor::scene::parse_result parsed = qor::scene::parse_scene_file(line.scene_path);
    qor::scene::warning_sink warnings{parsed.warnings};
    scene = engine::build_traceable_scene(parsed.scene, warnings);
    qor::cli::set_region_and_parameters(job, line, scene, parsed.scene);
    qor::cli::complete_with_scene(job, line, parsed.scene);
    rays = bench::make_rays(line.scene_path);
    embree_rate = bench::embree_rays_per_cpu_second(rays.world, rays.light_rays, 1.0);
  } catch (const std::exception& error) {
    std::cerr << error.what() << "\n";
    return 2;
  }

  if (!scaling) {
    return render_and_report(line, job, scene, line.threads, per_iteration, rays, embree_rate).ok
               ? 0
               : 1;
  }
  const int many =
      line.threads > 0 ? line.threads : int(std::max(1u, std::thread::hardware_concurrency()));
  const render_figures one =
      render_and_report(line, job, scene, 1, per_iteration, rays, embree_rate);
  std::printf("\n");
  const render_figures all =
      render_and_report(line, job, scene, many, per_iteration, rays, one.embree_rate_after);
  if (!one.ok || !all.ok || one.iterations == 0 || all.iterations == 0) return 1;
  auto per_path = [](const render_figures& f) {
    return f.photons.paths > 0 ? 1e6 * f.photon_cpu / double(f.photons.paths) : 0.0;
  };
  const double wall_one = one.photon_wall / double(one.iterations);
  const double wall_all = all.photon_wall / double(all.iterations);
  std::printf("\nscaling of the photon pass, 1 -> %d threads:\n", all.threads);
  std::printf("  wall s/iter %.4f -> %.4f: speedup %.2fx\n", wall_one, wall_all,
              wall_all > 0 ? wall_one / wall_all : 0.0);
  std::printf("  cpu us per photon path %.3f -> %.3f: ratio %.3f (1.000 is ideal scaling)\n",
              per_path(one), per_path(all),
              per_path(one) > 0 ? per_path(all) / per_path(one) : 0.0);
  return 0;
}

// qor-render as a user runs it: exit statuses, messages and the images it writes.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;

const std::string qor_render = QOR_RENDER_PATH;
const std::string scenes = QOR_E2E_SCENES;
const std::string tiny = scenes + "/tiny.pbrt";

struct run_result {
  int status = -1;  // exit status; 128 + signal when killed
  std::string out, err;
};

std::string slurp(const fs::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

class qor_render_test : public ::testing::Test {
 protected:
  void SetUp() override {
    directory = fs::temp_directory_path() /
                ("qor-e2e-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(directory);
    fs::create_directories(directory);
  }
  void TearDown() override { fs::remove_all(directory); }
  std::string path(const std::string& name) const { return (directory / name).string(); }

  // Runs qor-render in the test's directory with standard input from /dev/null. `while_running`
  // is called with the child's pid once it has started.
  run_result run(std::vector<std::string> arguments, std::vector<std::string> prefix = {},
                 const std::function<void(pid_t)>& while_running = nullptr) {
    std::vector<std::string> command = prefix;
    command.push_back(qor_render);
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : command) argv.push_back(word.data());
    argv.push_back(nullptr);

    const std::string out_path = path(".stdout"), err_path = path(".stderr");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    run_result result;
    if (spawned != 0) {
      ADD_FAILURE() << "cannot start " << argv[0];
      return result;
    }
    if (while_running) while_running(pid);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "qor-render did not finish";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = slurp(out_path);
    result.err = slurp(err_path);
    return result;
  }

  fs::path directory;
};

struct image {
  int width = 0, height = 0, channels = 0;
  std::vector<float> values;
};

image read_image(const std::string& path) {
  image result;
  auto in = OIIO::ImageInput::open(path);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path << ": " << OIIO::geterror();
    return result;
  }
  result.width = in->spec().width;
  result.height = in->spec().height;
  result.channels = in->spec().nchannels;
  result.values.resize(size_t(result.width) * result.height * result.channels);
  in->read_image(0, 0, 0, result.channels, OIIO::TypeDesc::FLOAT, result.values.data());
  return result;
}

// An image of the given size whose every value is finite.
void expect_rendered_image(const std::string& path, int width, int height) {
  ASSERT_TRUE(fs::exists(path)) << path;
  const image result = read_image(path);
  EXPECT_EQ(result.width, width);
  EXPECT_EQ(result.height, height);
  EXPECT_EQ(result.channels, 3);
  size_t non_finite = 0;
  for (float v : result.values) non_finite += !std::isfinite(v);
  EXPECT_EQ(non_finite, 0u);
}

size_t lines(const std::string& text) {
  return std::count(text.begin(), text.end(), '\n');
}

TEST_F(qor_render_test, renders_the_tiny_scene_through_the_module) {
  const run_result r = run({tiny, "-o", "out.exr", "--threads", "2"});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_rendered_image(path("out.exr"), 32, 24);
  // Only the image: no temporary file is left beside it.
  for (const auto& entry : fs::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "out.exr" || name == ".stdout" || name == ".stderr") << name;
  }
}

TEST_F(qor_render_test, writes_the_film_filename_or_a_resized_png) {
  ASSERT_EQ(run({tiny}).status, 0);
  expect_rendered_image(path("tiny.exr"), 32, 24);  // the Film's filename

  const run_result r = run({tiny, "-o", "small.png", "--resolution", "20x10", "--iterations", "1"});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_rendered_image(path("small.png"), 20, 10);
}

TEST_F(qor_render_test, a_time_limit_ends_an_endless_render_and_still_writes_it) {
  const auto start = std::chrono::steady_clock::now();
  const run_result r = run({tiny, "-o", "timed.pfm", "--iterations", "0", "--time", "1"});
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(r.status, 0) << r.err;
  expect_rendered_image(path("timed.pfm"), 32, 24);
  EXPECT_LT(seconds, 60.0);
}

TEST_F(qor_render_test, a_scripted_key_ends_the_render) {
  const run_result r =
      run({tiny, "-o", "keys.exr", "--iterations", "0", "--keys", "1:2,3:q", "-v"});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_rendered_image(path("keys.exr"), 32, 24);
  EXPECT_NE(r.err.find("Visualize 2"), std::string::npos) << r.err;  // the view key took effect
}

TEST_F(qor_render_test, ctrl_c_ends_the_render_and_the_image_is_written) {
  const std::string preview = path("preview.png");
  const run_result r =
      run({tiny, "-o", "interrupted.exr", "--iterations", "0", "--preview", preview}, {},
          [&](pid_t pid) {
            // Interrupt once the render is under way: its first preview exists.
            for (int i = 0; i < 1500 && !fs::exists(preview); ++i) {
              std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            if (!fs::exists(preview)) {
              ADD_FAILURE() << "no preview after 30 seconds";
              kill(pid, SIGKILL);
              return;
            }
            kill(pid, SIGINT);
          });
  ASSERT_EQ(r.status, 0) << r.err;
  expect_rendered_image(path("interrupted.exr"), 32, 24);
  expect_rendered_image(preview, 32, 24);
  EXPECT_NE(r.err.find("interrupted"), std::string::npos) << r.err;
}

TEST_F(qor_render_test, check_summarizes_the_scene_and_renders_nothing) {
  const run_result r = run({tiny, "--check"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* part : {"camera:", "film: 32 x 24", "shapes: 6 triangle meshes",
                           "lights:", "area light", "materials:", "0 warnings"}) {
    EXPECT_NE(r.out.find(part), std::string::npos) << part << "\n" << r.out;
  }
  EXPECT_FALSE(fs::exists(path("tiny.exr")));
}

TEST_F(qor_render_test, list_parameters_shows_every_field_with_the_scenes_values) {
  const run_result r = run({tiny, "--list-parameters", "--alpha", "0.5"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* name :
       {"refine_mode", "points_file", "alpha", "photons_per_pass", "radius_scale"}) {
    EXPECT_NE(r.out.find(name), std::string::npos) << name;
  }
  EXPECT_NE(r.out.find("20000"), std::string::npos) << r.out;  // from the scene
  EXPECT_NE(r.out.find("0.5 "), std::string::npos) << r.out;   // from the command line
}

TEST_F(qor_render_test, a_missing_scene_is_a_scene_error) {
  const run_result r = run({"nosuch.pbrt"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.rfind("nosuch.pbrt:1:1: error: ", 0), 0u) << r.err;
}

TEST_F(qor_render_test, a_malformed_scene_is_reported_at_its_place) {
  const run_result r = run({scenes + "/broken.pbrt"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("broken.pbrt:"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(": error: "), std::string::npos) << r.err;
}

TEST_F(qor_render_test, bad_values_get_one_line_naming_the_option) {
  const struct {
    std::vector<std::string> arguments;
    const char* message;
  } cases[] = {
      {{tiny, "--photons", "-5"}, "error: --photons: photons_per_pass must be at least 1, got -5"},
      {{tiny, "--alpha", "nan"}, "error: --alpha: alpha must be a finite number"},
      {{tiny, "--set", "bogus=1"}, "error: --set bogus=1: unknown parameter 'bogus'"},
      {{tiny, "--set", "max_iterations=many"}, "max_iterations expects an integer, got 'many'"},
      {{tiny, "--threads", "-1"}, "--threads"},
      {{tiny, "-o", "out.tiff"}, "error: -o: cannot write 'out.tiff'"},
      {{tiny, "--keys", "3"}, "error: --keys: '3'"},
      {{tiny, "--crop", "0,0,64,8"}, "error: --crop: the region 0,0,64,8 reaches outside"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const run_result r = run(c.arguments);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(lines(r.err), 1u) << r.err;
  }
  EXPECT_FALSE(fs::exists(path("tiny.exr")));
}

TEST_F(qor_render_test, a_missing_or_unloadable_module_is_a_render_failure) {
  const run_result missing = run({tiny, "--module", path("nowhere/ppm.so")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("error: cannot find the renderer module"), std::string::npos)
      << missing.err;

  { std::ofstream(path("fake.so")) << "not a shared library"; }
  const run_result unloadable = run({tiny, "--module", path("fake.so")});
  EXPECT_EQ(unloadable.status, 1);
  EXPECT_NE(unloadable.err.find("error: "), std::string::npos) << unloadable.err;
  EXPECT_NE(unloadable.err.find("fake.so"), std::string::npos) << unloadable.err;
  EXPECT_FALSE(fs::exists(path("tiny.exr")));
}

TEST_F(qor_render_test, an_unknown_renderer_name_is_a_render_failure) {
  const run_result r = run({tiny, "--renderer", "bidir"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no renderer named 'bidir'"), std::string::npos) << r.err;
}

TEST_F(qor_render_test, the_preview_window_works_under_xvfb) {
  if (system("command -v xvfb-run >/dev/null 2>&1") != 0) GTEST_SKIP() << "no xvfb-run";
  const run_result r =
      run({tiny, "-o", "window.exr", "--window", "--iterations", "3"}, {"xvfb-run", "-a"});
  ASSERT_EQ(r.status, 0) << r.err;
  expect_rendered_image(path("window.exr"), 32, 24);
}

}  // namespace

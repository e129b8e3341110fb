// A test fixture with a fresh directory of its own under the system's temporary directory,
// named after the test and the process, and removed with everything in it after the test.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace test_support {

class scratch_directory_test : public ::testing::Test {
 protected:
  void SetUp() override {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    directory = std::filesystem::temp_directory_path() /
                ("qor-" + std::string(test->test_suite_name()) + "-" + std::to_string(::getpid()) +
                 "-" + test->name());
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);
  }
  void TearDown() override { std::filesystem::remove_all(directory); }

  std::string path(const std::string& name) const { return (directory / name).string(); }

  std::filesystem::path directory;
};

}  // namespace test_support

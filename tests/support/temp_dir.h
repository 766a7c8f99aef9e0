// A fresh folder per test, removed again afterwards. Named after the running
// test and the process, so tests that CTest runs side by side, or two builds'
// suites running at once, never share one.
#pragma once

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#ifdef _WIN32
#include <process.h>
#define KISTWERK_PROCESS_ID _getpid
#else
#include <unistd.h>
#define KISTWERK_PROCESS_ID getpid
#endif

namespace kistwerk::fixture {

class TempDir {
public:
    TempDir()
    {
        static int serial = 0;
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = "kistwerk-";
        if (test != nullptr)
            name += std::string(test->test_suite_name()) + "-" + test->name() + "-";
        name += std::to_string(KISTWERK_PROCESS_ID()) + "-";
        path_ = std::filesystem::temp_directory_path() / (name + std::to_string(serial++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace kistwerk::fixture

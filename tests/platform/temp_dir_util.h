// A scratch directory of the test process's own. Fixed names under the
// shared temp directory collide when two runs of the suite overlap (the
// normal and sanitizer trees side by side, or several checkouts on one
// machine): one run's TearDown removed the other's files mid-test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace testtmp {

// Created on first use as <TempDir>/zk_test.XXXXXX (mkdtemp) and removed
// with its contents when the process exits normally.
inline std::filesystem::path ProcessDir() {
    // Never destroyed: the exit handler still reads it after static
    // destructors have run.
    static const std::filesystem::path* dir = [] {
        std::string pattern = ::testing::TempDir() + "zk_test.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp " << pattern << " failed";
            return new std::filesystem::path(::testing::TempDir());
        }
        auto* made = new std::filesystem::path(pattern);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(ProcessDir(), ignored);
        });
        return made;
    }();
    return *dir;
}

}  // namespace testtmp

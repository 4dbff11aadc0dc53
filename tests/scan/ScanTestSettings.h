#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "settings/SettingsStore.h"
#include "support/RecordingNotifier.h"

namespace tarvik::test {

// A settings store on a file that does not exist, so every value starts at its default.
inline std::filesystem::path ScanSettingsFile() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::filesystem::path(::testing::TempDir()) /
           (std::string("scan-") + info->test_suite_name() + "-" + info->name() + ".conf");
}

inline CSettingsStore::InterfaceLister NoInterfaces() {
    return [] { return std::vector<std::string>{}; };
}

}  // namespace tarvik::test

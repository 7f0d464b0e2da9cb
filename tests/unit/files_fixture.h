// Test fixture for the file tests: a fresh temporary directory per test,
// removed afterwards, with helpers that build '\'-separated wide paths in it
// and read or write raw bytes through the standard library (an oracle that
// does not share code with the layer under test).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/path.h"

class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qvfiles.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_osRoot = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        for (auto& e : std::filesystem::recursive_directory_iterator(m_osRoot, ec))
            ::chmod(e.path().c_str(), 0755);  // read-only leftovers must not block the clean-up
        std::filesystem::remove_all(m_osRoot, ec);
    }
    // Wide '\' path of rel ('\'-separated) below the temporary directory.
    std::u16string P(std::u16string_view rel) const {
        return plat::FromOsPath(m_osRoot) + u"\\" + std::u16string(rel);
    }
    std::string Os(std::u16string_view rel) const { return plat::ToOsPath(P(rel)); }
    void Put(std::u16string_view rel, const std::string& bytes) const {
        std::ofstream(Os(rel), std::ios::binary) << bytes;
    }
    std::string Get(std::u16string_view rel) const {
        std::ifstream in(Os(rel), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool OwnerWritable(std::u16string_view rel) const {
        struct stat st {};
        return ::stat(Os(rel).c_str(), &st) == 0 && (st.st_mode & S_IWUSR);
    }
    std::string m_osRoot;
};

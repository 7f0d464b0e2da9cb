// Temporary directories for tests that need real files (test support).
// CTempDir makes a fresh directory under the system's temporary directory and
// removes it with everything in it at the end. CScopedCwd makes a directory
// the working directory for its lifetime (relative configuration paths such
// as "..\Binaries\..." resolve against it). Single-threaded.
#pragma once

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>

// Makes a fresh directory "<prefix>-<random>" under the system's temporary
// directory and returns its path; throws std::runtime_error when none could
// be made. Header-only for tests that link nothing of the support library.
inline std::filesystem::path MakeTempDirectory(std::string_view strPrefix) {
    std::random_device source;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int nTry = 0; nTry < 100; ++nTry) {
        std::string strName(strPrefix);
        strName += '-';
        for (int i = 0; i < 12; ++i) strName += "0123456789abcdefghijklmnopqrstuvwxyz"[source() % 36];
        std::error_code ec;
        if (std::filesystem::create_directory(base / strName, ec)) return base / strName;
    }
    throw std::runtime_error("no temporary directory could be made under " + base.string());
}

class CTempDir {
public:
    CTempDir();
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    // A path inside the directory, made of '/'-separated parts.
    std::filesystem::path operator/(const std::string& strRelative) const {
        return m_path / strRelative;
    }

private:
    std::filesystem::path m_path;
};

class CScopedCwd {
public:
    explicit CScopedCwd(const std::filesystem::path& dir);
    ~CScopedCwd();
    CScopedCwd(const CScopedCwd&) = delete;
    CScopedCwd& operator=(const CScopedCwd&) = delete;

private:
    std::filesystem::path m_previous;
};

// Whole-file helpers.
std::string ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::string& strBytes);

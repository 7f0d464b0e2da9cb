#include "tests/support/tempdir.h"

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

CTempDir::CTempDir() : m_path(MakeTempDirectory("qvtest")) {}

CTempDir::~CTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

CScopedCwd::CScopedCwd(const std::filesystem::path& dir)
    : m_previous(std::filesystem::current_path()) {
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
}

CScopedCwd::~CScopedCwd() {
    std::error_code ec;
    std::filesystem::current_path(m_previous, ec);
}

std::string ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::filesystem::path& path, const std::string& strBytes) {
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(strBytes.data(), static_cast<std::streamsize>(strBytes.size()));
}

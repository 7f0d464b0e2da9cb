// The members of plat::File that are the same on every platform: moving an
// open file hands over its descriptor and its read-ahead block.
#include <utility>

#include "platform/file.h"

namespace plat {

File::File(File&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)),
      m_pAhead(std::move(other.m_pAhead)),
      m_nAheadPos(std::exchange(other.m_nAheadPos, 0)),
      m_nAheadEnd(std::exchange(other.m_nAheadEnd, 0)) {}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = std::exchange(other.m_fd, -1);
        m_pAhead = std::move(other.m_pAhead);
        m_nAheadPos = std::exchange(other.m_nAheadPos, 0);
        m_nAheadEnd = std::exchange(other.m_nAheadEnd, 0);
    }
    return *this;
}

}  // namespace plat

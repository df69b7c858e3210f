#include "appserver/LineFramer.h"

namespace tarnwick {

namespace {

// A buffer that grew beyond this for one long line is given back once the line is done.
constexpr std::size_t keptCapacity = 1024 * 1024;

} // namespace

void LineFramer::reset() {
    buffer_.clear();
    releaseLargeBuffer();
    discarding_ = false;
}

void LineFramer::releaseLargeBuffer() {
    if (buffer_.capacity() > keptCapacity) {
        std::string().swap(buffer_);
    }
}

} // namespace tarnwick

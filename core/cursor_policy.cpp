#include "core/cursor_policy.hpp"

namespace tavelin {

void CursorPolicy::localInput(std::int64_t eventMarker) {
    if (eventMarker != remoteEventMarker) receiverOwnsPointer = false;
}

} // namespace tavelin

#pragma once

#include <cstdint>

namespace tavelin {

// Whether the host pointer is drawn into the captured video. It is, when the user asked
// for it, until the receiver drives the pointer (the browser then shows its own); the
// next local pointer event brings it back.
struct CursorPolicy {
    // Stamped on every mouse event we inject, so that the pointer monitors can tell our
    // own events from the user's.
    static constexpr std::int64_t remoteEventMarker = 0x6B2E3A915C07;

    bool hostPointerShown = false;    // the user's choice to show the host pointer
    bool receiverOwnsPointer = false;  // the receiver moved the pointer last

    CursorPolicy() = default;
    explicit CursorPolicy(bool hostPointerShown) : hostPointerShown(hostPointerShown) {}

    bool showsCapturedCursor() const { return hostPointerShown && !receiverOwnsPointer; }

    void remoteInput() { receiverOwnsPointer = true; }
    // An event that carries our own marker is an injected one seen again; it changes
    // nothing.
    void localInput(std::int64_t eventMarker);

    friend bool operator==(const CursorPolicy&, const CursorPolicy&) = default;
};

} // namespace tavelin

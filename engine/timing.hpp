#pragma once

#include <chrono>

namespace tavelin {

// Every fixed delay and limit of the engine, in one place. Objects take a Timings at
// construction so that tests can shorten them instead of waiting.
struct Timings {
    using Duration = std::chrono::steady_clock::duration;

    // A server connection lives at most this long from acceptance; the answer to a
    // connect request must be written within it.
    Duration connectionLifetime = std::chrono::seconds(20);
    // After refusing a request that may still be arriving, the server reads and drops
    // the rest for at most this long before it closes, so that the refusal is read.
    Duration lingerAfterRefusal = std::chrono::seconds(2);
    // The server must report ready within this time after start.
    Duration serverReady = std::chrono::seconds(5);
    // ICE gathering is polled this often, this many times (8 s in all). Host candidates
    // are gathered within a few milliseconds, and the answer waits for the next poll.
    Duration iceGatheringPoll = std::chrono::milliseconds(10);
    int iceGatheringPolls = 800;
    // A peer connection that is not answered within this time is dropped.
    Duration connectionWatchdog = std::chrono::seconds(20);
    // A disconnected peer connection gets this long to recover.
    Duration disconnectedGrace = std::chrono::seconds(8);
    // A connected receiver that has reported on the stream and then stays silent this
    // long is gone (its browser was killed, its computer slept) while ICE may still
    // count it connected.
    Duration receiverSilence = std::chrono::seconds(4);
    // The last frame is sent again this often while the screen is static.
    Duration staticRefresh = std::chrono::seconds(1);
    // A picture that stays unchanged this long is sent again in this many frames this far
    // apart, each worth more bits, so that still text turns sharp however low the rate.
    Duration stillBeforeRefinement = std::chrono::milliseconds(300);
    int refinementFrames = 10;
    Duration refinementSpacing = std::chrono::milliseconds(40);
    // The mouse watchdog runs this often and releases held buttons after this silence.
    Duration mouseWatchdogInterval = std::chrono::seconds(1);
    Duration mouseSilence = std::chrono::seconds(3);
    // A new virtual display is checked this often for its requested mode, and the
    // mirroring state is polled this often after a mirroring change.
    Duration displayModePoll = std::chrono::milliseconds(100);
    Duration mirrorStatePoll = std::chrono::milliseconds(100);
    // Display configuration changes are collected for this long before acting on them.
    Duration displayChangeDebounce = std::chrono::milliseconds(500);
    // Captured frames older than this are dropped instead of delivered.
    Duration frameMaximumAge = std::chrono::milliseconds(100);
    // Capture looks for the shared display this often, this many times, before giving up.
    Duration displayLookupInterval = std::chrono::milliseconds(100);
    int displayLookups = 30;
};

} // namespace tavelin

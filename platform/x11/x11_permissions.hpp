#pragma once

#include <string>

#include "platform/system_services.hpp"

namespace tavelin::x11 {

// On X11 any client may inject input and read the screen once the server offers the
// extensions for it, so trust is the presence of XTEST and capture that of MIT-SHM.
// Extensions do not come and go on a running server: both are read once.
class X11Permissions final : public Permissions {
public:
    // `displayName` empty means $DISPLAY. Throws XError when the server cannot be reached.
    explicit X11Permissions(const std::string& displayName = {});

    bool isInputTrusted() override { return xtest_; }
    // Nobody can grant XTEST from here: the answer is the same check.
    bool requestInputTrust() override { return xtest_; }
    bool canCaptureScreen() override { return shm_; }

private:
    bool xtest_ = false;
    bool shm_ = false;
};

} // namespace tavelin::x11

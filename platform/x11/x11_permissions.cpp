#include "platform/x11/x11_permissions.hpp"

#include <xcb/shm.h>
#include <xcb/xtest.h>

#include "platform/x11/xcb_handles.hpp"

namespace tavelin::x11 {

X11Permissions::X11Permissions(const std::string& displayName) {
    const Connection connection(displayName);
    xtest_ = connection.hasExtension(&xcb_test_id);
    shm_ = connection.hasExtension(&xcb_shm_id);
}

} // namespace tavelin::x11

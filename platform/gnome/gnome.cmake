# The GNOME Wayland backend: mutter's D-Bus interfaces (DisplayConfig, RemoteDesktop,
# ScreenCast) and PipeWire. Included from platform/CMakeLists.txt.
pkg_check_modules(GNOME_BACKEND REQUIRED IMPORTED_TARGET GLOBAL gio-2.0)
pkg_check_modules(PIPEWIRE REQUIRED IMPORTED_TARGET libpipewire-0.3)

# Blocking D-Bus calls, also used for the system bus's services (colord, logind).
add_library(tavelin_dbus STATIC ${CMAKE_CURRENT_LIST_DIR}/dbus_call.cpp)
target_include_directories(tavelin_dbus PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(tavelin_dbus PUBLIC PkgConfig::GNOME_BACKEND)
tavelin_warnings(tavelin_dbus)

add_library(tavelin_gnome STATIC
  ${CMAKE_CURRENT_LIST_DIR}/gnome_backend.cpp
  ${CMAKE_CURRENT_LIST_DIR}/monitors_state.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mutter_input.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mutter_display_services.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mutter_physical_displays.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mutter_pointer_monitors.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mutter_virtual_displays.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mutter_virtual_monitor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pipewire_stream.cpp
  ${CMAKE_CURRENT_LIST_DIR}/settings_daemon_brightness.cpp
)
target_include_directories(tavelin_gnome PUBLIC ${PROJECT_SOURCE_DIR})
# The frames come from a PipeWire stream of our own (libpipewire), which hands us the
# pointer's metadata with each buffer.
target_link_libraries(tavelin_gnome PUBLIC tavelin_platform tavelin_engine tavelin_dbus tavelin_color tavelin_brightness PkgConfig::GNOME_BACKEND
  PRIVATE PkgConfig::PIPEWIRE)
tavelin_warnings(tavelin_gnome)

# A Wayland client that shows where the pointer input lands, and draws the benchmark's
# moving picture on GNOME; its protocol code is C. Included by the GNOME tests and, in a
# build without tests, by the benchmarks; it lands in tests/gnome of the build either way.
enable_language(C)
find_package(PkgConfig REQUIRED)
pkg_check_modules(WAYLAND_CLIENT REQUIRED IMPORTED_TARGET wayland-client)
pkg_get_variable(WAYLAND_PROTOCOLS wayland-protocols pkgdatadir)
find_program(WAYLAND_SCANNER wayland-scanner REQUIRED)
set(xdg_shell ${WAYLAND_PROTOCOLS}/stable/xdg-shell/xdg-shell.xml)
add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/xdg-shell-client-protocol.h ${CMAKE_CURRENT_BINARY_DIR}/xdg-shell-protocol.c
  COMMAND ${WAYLAND_SCANNER} client-header ${xdg_shell} ${CMAKE_CURRENT_BINARY_DIR}/xdg-shell-client-protocol.h
  COMMAND ${WAYLAND_SCANNER} private-code ${xdg_shell} ${CMAKE_CURRENT_BINARY_DIR}/xdg-shell-protocol.c
  DEPENDS ${xdg_shell})
add_executable(tavelin_pointer_client ${CMAKE_CURRENT_LIST_DIR}/pointer_client.cpp ${CMAKE_CURRENT_BINARY_DIR}/xdg-shell-protocol.c)
target_include_directories(tavelin_pointer_client PRIVATE ${CMAKE_CURRENT_BINARY_DIR})
target_link_libraries(tavelin_pointer_client PRIVATE PkgConfig::WAYLAND_CLIENT)
tavelin_warnings(tavelin_pointer_client)
set_target_properties(tavelin_pointer_client PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/tests/gnome)

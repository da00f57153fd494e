# The computer's own displays, what the display server does not do for them: ICC display
# profiles (the installed files read with lcms2, colord over D-Bus) and brightness (the
# kernel's backlight devices through logind, DDC/CI through libddcutil loaded at run time).
# Included from platform/CMakeLists.txt.
pkg_check_modules(LCMS2 REQUIRED IMPORTED_TARGET lcms2)

add_library(tavelin_color STATIC
  ${CMAKE_CURRENT_LIST_DIR}/icc_profiles.cpp
  ${CMAKE_CURRENT_LIST_DIR}/colord_profiles.cpp
)
target_include_directories(tavelin_color PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(tavelin_color PUBLIC tavelin_platform tavelin_displays tavelin_dbus PRIVATE PkgConfig::LCMS2)
tavelin_warnings(tavelin_color)

add_library(tavelin_brightness STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ddc_brightness.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sysfs_backlight.cpp
)
target_include_directories(tavelin_brightness PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(tavelin_brightness PUBLIC tavelin_core tavelin_dbus Threads::Threads PRIVATE ${CMAKE_DL_LIBS})
tavelin_warnings(tavelin_brightness)

# ICC display profiles: the installed files read with lcms2, and colord over D-Bus (the
# GNOME backend's GDBus helpers). Included from platform/CMakeLists.txt.
pkg_check_modules(LCMS2 REQUIRED IMPORTED_TARGET lcms2)

add_library(tavelin_color STATIC
  ${CMAKE_CURRENT_LIST_DIR}/icc_profiles.cpp
  ${CMAKE_CURRENT_LIST_DIR}/colord_profiles.cpp
)
target_include_directories(tavelin_color PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(tavelin_color PUBLIC tavelin_platform tavelin_displays tavelin_gnome PRIVATE PkgConfig::LCMS2)
tavelin_warnings(tavelin_color)

# What the package adds to the program's own install rules (program/CMakeLists.txt):
# the man page, the user service, the AppStream metadata, the licence and changelog in
# Debian's form, and the Debian package itself (`make package`, CPack's DEB generator).
include(GNUInstallDirs)

find_program(SCDOC scdoc REQUIRED)
find_program(GZIP gzip REQUIRED)
set(packaging_out ${PROJECT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${packaging_out})

add_custom_command(OUTPUT ${packaging_out}/tavelin.1
  COMMAND ${SCDOC} < ${CMAKE_CURRENT_LIST_DIR}/tavelin.1.scd > ${packaging_out}/tavelin.1
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/tavelin.1.scd VERBATIM)
# Debian wants its documentation compressed, without a time stamp in the gzip header.
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog ${packaging_out}/changelog @ONLY)
add_custom_command(OUTPUT ${packaging_out}/tavelin.1.gz ${packaging_out}/changelog.gz
  COMMAND ${GZIP} -9nkf ${packaging_out}/tavelin.1 ${packaging_out}/changelog
  DEPENDS ${packaging_out}/tavelin.1 ${packaging_out}/changelog VERBATIM)
add_custom_target(tavelin_manual ALL DEPENDS ${packaging_out}/tavelin.1.gz ${packaging_out}/changelog.gz)

configure_file(${CMAKE_CURRENT_LIST_DIR}/app.tavelin.Tavelin.metainfo.xml
               ${packaging_out}/app.tavelin.Tavelin.metainfo.xml @ONLY)
# The licence in Debian's machine-readable copyright format.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(REGEX REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REGEX REPLACE "\n([^\n])" "\n \\1" licence "${licence}")
string(STRIP "${licence}" licence)
file(WRITE ${packaging_out}/copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: Tavelin\n\n"
  "Files: *\nCopyright: 2026 The Tavelin developers\nLicense: MIT\n\n"
  "License: MIT\n ${licence}\n")

install(FILES ${packaging_out}/tavelin.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/tavelin.service DESTINATION lib/systemd/user)
install(FILES ${packaging_out}/app.tavelin.Tavelin.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${packaging_out}/copyright ${packaging_out}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tavelin)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavelin)
set(CPACK_PACKAGE_VENDOR "The Tavelin developers")
set(CPACK_PACKAGE_CONTACT "Tavelin developers <dev@tavelin.app>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "extend the desktop onto another computer's screen through a browser")
set(CPACK_PACKAGE_DESCRIPTION
    "Tavelin creates virtual displays on this computer and streams one of them\n\
over WebRTC to a browser on another computer of the same local network,\n\
whose mouse, finger or pen then drives this computer's pointer. It lives in\n\
a tray icon with a main window, or runs headless as a user service.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time rather than linked: the embedded X server and its driver, the
# GStreamer elements of the pipeline, the QML modules and Qt's platform plug-ins.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "xserver-xorg-core, xserver-xorg-video-dummy, gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, gstreamer1.0-plugins-bad, gstreamer1.0-plugins-ugly, gstreamer1.0-nice, qml6-module-qtquick, qml6-module-qtquick-controls, qml6-module-qtquick-templates, qml6-module-qtquick-window, qml6-module-qtquick-layouts, qml6-module-qtqml-workerscript, qml6-module-qtmultimedia, qt6-qpa-plugins")
# Only some paths need these: opening links, colour profiles through colord, brightness of
# external monitors over DDC/CI, the GNOME desktop's PipeWire.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, colord, libddcutil4, pipewire")
include(CPack)

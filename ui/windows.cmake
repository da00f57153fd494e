# The floating windows: the motion test and the preview of the sent video.
add_library(tavelin_ui_windows STATIC
  ${CMAKE_CURRENT_LIST_DIR}/motion_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/preview_window.cpp
)
qt_add_qml_module(tavelin_ui_windows
  URI Tavelin.Windows
  VERSION 1.0
  RESOURCE_PREFIX /qt/qml
  OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/Tavelin/Windows
  NO_PLUGIN
  QML_FILES qml/PreviewWindow.qml
)
target_include_directories(tavelin_ui_windows PUBLIC ${PROJECT_SOURCE_DIR})
# libyuv scales the previewed frames down to the window's size as it copies them.
target_link_libraries(tavelin_ui_windows PUBLIC tavelin_streaming Qt6::Gui Qt6::Quick Qt6::Multimedia
                      PRIVATE libyuv::libyuv)
tavelin_warnings(tavelin_ui_windows)

# The WebRTC connection over GStreamer's webrtcbin. Included from platform/CMakeLists.txt.
find_package(PkgConfig REQUIRED)
pkg_check_modules(GSTREAMER_WEBRTC REQUIRED IMPORTED_TARGET GLOBAL
  gstreamer-1.0 gstreamer-webrtc-1.0 gstreamer-sdp-1.0 gstreamer-app-1.0 gstreamer-video-1.0 gstreamer-rtp-1.0)

add_library(tavelin_gstreamer STATIC
  ${CMAKE_CURRENT_LIST_DIR}/gst_codec_branch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gst_data_channel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gst_default_context.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gst_element_census.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gst_encoder_feed.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gst_playout_delay.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gst_webrtc_factory.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gst_webrtc_peer.cpp
)
# webrtcbin's library is marked unstable API; 1.22 is the version we build against.
target_compile_definitions(tavelin_gstreamer PUBLIC GST_USE_UNSTABLE_API)
target_include_directories(tavelin_gstreamer PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(tavelin_gstreamer
  PUBLIC tavelin_core tavelin_platform tavelin_engine nlohmann_json::nlohmann_json
  PRIVATE PkgConfig::GSTREAMER_WEBRTC)
tavelin_warnings(tavelin_gstreamer)

# X11 pieces: capture (sources added to tavelin_x11). libyuv scales a mirrored display's
# picture to the stream size.
target_sources(tavelin_x11 PRIVATE ${CMAKE_CURRENT_LIST_DIR}/shm_capture.cpp)
target_link_libraries(tavelin_x11 PRIVATE libyuv::libyuv)

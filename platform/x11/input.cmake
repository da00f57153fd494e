# X11 pieces: input (sources added to tavelin_x11)
target_sources(tavelin_x11 PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/x11_permissions.cpp
  ${CMAKE_CURRENT_LIST_DIR}/xinput_pointer_monitors.cpp
  ${CMAKE_CURRENT_LIST_DIR}/xtest_input.cpp
)

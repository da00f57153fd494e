# X11 pieces: displays (sources added to tavelin_x11)
target_sources(tavelin_x11 PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/desktop_brightness.cpp
  ${CMAKE_CURRENT_LIST_DIR}/desktop_color_profiles.cpp
  ${CMAKE_CURRENT_LIST_DIR}/randr_configuration_transaction.cpp
  ${CMAKE_CURRENT_LIST_DIR}/randr_brightness.cpp
  ${CMAKE_CURRENT_LIST_DIR}/randr_display_services.cpp
  ${CMAKE_CURRENT_LIST_DIR}/randr_physical_displays.cpp
  ${CMAKE_CURRENT_LIST_DIR}/randr_virtual_display.cpp
  ${CMAKE_CURRENT_LIST_DIR}/x_color_profiles.cpp
)
target_link_libraries(tavelin_x11 PUBLIC tavelin_displays tavelin_color tavelin_brightness)

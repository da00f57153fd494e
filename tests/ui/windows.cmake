# The floating windows on the embedded X server, through Qt's xcb platform.
tavelin_x11_test(tavelin_motion_test_window_tests ${CMAKE_CURRENT_LIST_DIR}/motion_test_window_test.cpp)
target_link_libraries(tavelin_motion_test_window_tests PRIVATE tavelin_ui_windows Qt6::Test)

tavelin_x11_test(tavelin_preview_window_tests ${CMAKE_CURRENT_LIST_DIR}/preview_window_test.cpp
                 ${PROJECT_SOURCE_DIR}/tests/support/simulated_platform.cpp)
target_link_libraries(tavelin_preview_window_tests PRIVATE tavelin_ui_windows tavelin_session tavelin_app Qt6::Test)

# asio has members named like Qt's keyword macros.
set_property(TARGET tavelin_motion_test_window_tests tavelin_preview_window_tests
             APPEND PROPERTY COMPILE_DEFINITIONS QT_NO_KEYWORDS)

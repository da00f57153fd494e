# The floating windows on the embedded X server, through Qt's xcb platform.
tavelin_x11_test(tavelin_motion_test_window_tests ${CMAKE_CURRENT_LIST_DIR}/motion_test_window_test.cpp)
target_link_libraries(tavelin_motion_test_window_tests PRIVATE tavelin_ui_windows Qt6::Test)
# asio has members named like Qt's keyword macros.
target_compile_definitions(tavelin_motion_test_window_tests PRIVATE QT_NO_KEYWORDS)

# The interface offscreen: the bridge and rules, every view through the shell, and the
# controls under Qt Quick Test; and the window state file on the embedded X server.
find_package(Qt6 6.4 REQUIRED COMPONENTS Core Gui Widgets Qml Quick QuickControls2)
set(TAVELIN_OFFSCREEN "QT_QPA_PLATFORM=offscreen;QT_QUICK_BACKEND=software")

add_executable(tavelin_ui_tests
  ${CMAKE_CURRENT_LIST_DIR}/bridge_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/shell_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/offscreen_main.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/simulated_platform.cpp
)
target_link_libraries(tavelin_ui_tests PRIVATE tavelin_ui Qt6::Test GTest::gtest)
tavelin_warnings(tavelin_ui_tests)
gtest_discover_tests(tavelin_ui_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120 ENVIRONMENT "${TAVELIN_OFFSCREEN}")

add_executable(tavelin_ui_qml_tests
  ${CMAKE_CURRENT_LIST_DIR}/qml_tests_main.cpp
  ${PROJECT_SOURCE_DIR}/tests/support/simulated_platform.cpp
)
target_link_libraries(tavelin_ui_qml_tests PRIVATE tavelin_ui Qt6::QuickTest)
set_target_properties(tavelin_ui_qml_tests PROPERTIES AUTOMOC ON)
tavelin_warnings(tavelin_ui_qml_tests)
add_test(NAME tavelin_ui_qml_tests COMMAND tavelin_ui_qml_tests -input ${CMAKE_CURRENT_LIST_DIR}/qml)
set_tests_properties(tavelin_ui_qml_tests PROPERTIES TIMEOUT 120 ENVIRONMENT "${TAVELIN_OFFSCREEN}")

tavelin_x11_test(tavelin_window_state_tests ${CMAKE_CURRENT_LIST_DIR}/window_state_test.cpp)
target_link_libraries(tavelin_window_state_tests PRIVATE tavelin_ui Qt6::Test)

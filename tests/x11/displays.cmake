# Tests on the embedded server: displays
tavelin_x11_test(tavelin_randr_tests randr_virtual_display_test.cpp randr_display_services_test.cpp)

tavelin_x11_test(tavelin_model_arrangement_tests model_arrangement_test.cpp
                 ${PROJECT_SOURCE_DIR}/tests/support/simulated_platform.cpp)
target_link_libraries(tavelin_model_arrangement_tests PRIVATE tavelin_app)

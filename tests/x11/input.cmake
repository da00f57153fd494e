# Tests on the embedded server: input
tavelin_x11_test(tavelin_input_x11_tests input_test.cpp)
target_link_libraries(tavelin_input_x11_tests PRIVATE tavelin_input)

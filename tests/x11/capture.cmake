# Tests on the embedded server: capture
tavelin_x11_test(tavelin_shm_capture_tests shm_capture_test.cpp)
target_link_libraries(tavelin_shm_capture_tests PRIVATE tavelin_streaming)

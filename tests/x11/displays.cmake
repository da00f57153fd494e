# Tests on the embedded server: displays
tavelin_x11_test(tavelin_randr_tests randr_virtual_display_test.cpp randr_display_services_test.cpp)

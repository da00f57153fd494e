# Runtime options of the sanitizer builds, given to every test (and through the tests'
# environment to the programs they start). A report fails the test: UBSan stops at the
# first one, ASan at its first error, LSan and TSan with a non-zero exit status.
set(supp ${CMAKE_CURRENT_LIST_DIR})
if(TAVELIN_SANITIZE MATCHES "address|undefined")
  set(TAVELIN_SANITIZER_ENVIRONMENT
    "ASAN_OPTIONS=detect_leaks=1:check_initialization_order=1:fast_unwind_on_malloc=0"
    "LSAN_OPTIONS=suppressions=${supp}/lsan.supp:print_suppressions=0"
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:suppressions=${supp}/ubsan.supp")
else()
  set(TAVELIN_SANITIZER_ENVIRONMENT
    "TSAN_OPTIONS=suppressions=${supp}/tsan.supp:second_deadlock_stack=1:history_size=4")
endif()
# Instrumented code runs two to several times slower.
set(TAVELIN_TEST_TIMEOUT 360)

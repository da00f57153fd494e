# Instrumented code runs two to several times slower. The runtime options and the
# suppressions are built into every program (default_options.cpp).
set(TAVELIN_TEST_TIMEOUT 360)

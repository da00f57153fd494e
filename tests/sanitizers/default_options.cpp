// The sanitizers' runtime options, built into every program of a sanitizer build: the
// tests, the program they start and the helpers, however they are started (ctest, the
// browser tests, by hand). The variables (ASAN_OPTIONS, ...) still override them. A
// report fails the run: UBSan stops at the first one, ASan at its first error, LSan and
// TSan with a non-zero exit status.

#define TAVELIN_SUPPRESSIONS(file) "suppressions=" TAVELIN_SANITIZER_FOLDER "/" file
#define TAVELIN_EXPORTED __attribute__((visibility("default")))

extern "C" {

// Allocation stacks come from frame pointers (ours have them; Debian's libraries do not,
// so a library's leak names that library's frame first and little more). The slower
// unwinder that reads whole stacks deadlocks: libgcc allocates while holding its lock
// of the unwind tables, when Mesa's shader compiler registers the code it generated.
TAVELIN_EXPORTED const char* __asan_default_options() { return "detect_leaks=1:check_initialization_order=1"; }

TAVELIN_EXPORTED const char* __lsan_default_options() { return TAVELIN_SUPPRESSIONS("lsan.supp") ":print_suppressions=0"; }

TAVELIN_EXPORTED const char* __ubsan_default_options() {
    return "print_stacktrace=1:halt_on_error=1:" TAVELIN_SUPPRESSIONS("ubsan.supp");
}

TAVELIN_EXPORTED const char* __tsan_default_options() {
    return TAVELIN_SUPPRESSIONS("tsan.supp") ":second_deadlock_stack=1:history_size=4";
}

// Libraries stay loaded: a leak inside one that was unloaded before the leak check (Qt's
// plugins, Mesa's drivers) has an "<unknown module>" stack that no suppression can name.
TAVELIN_EXPORTED int dlclose(void*) { return 0; }
}

// Link into GUI test programs (CMake object library ui_common_test_leaks):
// fontconfig keeps caches that it never frees, which LeakSanitizer would
// report at exit of every test that draws text. Our own leaks stay reported.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

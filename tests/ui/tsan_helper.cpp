// Linked into every window test. Under ThreadSanitizer it loads tests/tsan.supp, the
// suppressions for the uninstrumented Qt libraries; options given in TSAN_OPTIONS still apply.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_options() {
    return "suppressions=" VELTRIN_SOURCE_DIR "/tests/tsan.supp";
}
#endif

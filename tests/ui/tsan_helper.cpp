// Linked into every window test. Under ThreadSanitizer it loads tests/tsan.supp, the
// suppressions for the uninstrumented Qt libraries; options given in TSAN_OPTIONS still apply.
// die_after_fork=0: the main window's start-up forks (QProcess::startDetached) while its workers
// run, and the child only execs.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_options() {
    return "die_after_fork=0 suppressions=" VELTRIN_SOURCE_DIR "/tests/tsan.supp";
}
#endif

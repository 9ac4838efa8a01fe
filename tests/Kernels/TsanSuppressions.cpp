// OpenBLAS's worker threads synchronise in code ThreadSanitizer does not see,
// so the memsets they issue on sgemm outputs would read as races with the
// caller's later reads. Ignore what the library itself calls.
extern "C" const char* __tsan_default_suppressions() { return "called_from_lib:libopenblas.so.0\nrace:libopenblas.so.0\n"; }

// OpenBLAS's worker threads synchronise in code ThreadSanitizer does not see
// (the batched products reach sgemm): ignore what the library itself calls.
extern "C" const char* __tsan_default_suppressions() { return "race:libopenblas.so.0\n"; }

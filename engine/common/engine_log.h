#pragma once
// Engine log lines: one line per event on standard error, written in a single
// write(2) so lines from engine threads never interleave.
namespace vm {

void log_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

} // namespace vm

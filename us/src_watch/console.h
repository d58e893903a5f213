// The console: the supervisor's standard output, which it shares with the
// programs. A console nobody reads (a stalled journal, a pipe whose reader
// is gone) must never stop supervision.
#pragma once

#include <climits>

#include <cstddef>

// Makes standard output line-buffered and written without ever blocking: a
// line the console cannot take at once is dropped and counted, and once it
// takes lines again one line says how many were dropped. The open file that
// the programs share keeps its flags: the supervisor writes through a
// description of its own (a pipe, a terminal) or asks for no wait per call
// (a socket). Called again after descriptors were closed, it opens that
// description again.
void console_init();

// The lines dropped and not yet said, a line begun and not ended counted as
// one: a reload hands them over, and the next image says them with its own.
unsigned console_dropped();
void console_add_dropped(unsigned lines);


// One attempt to write `len` bytes without waiting, for a child between
// fork and exec, which must not touch the supervisor's stdio.
void console_write_once(const char *text, size_t len);

// `text` with every control byte as \xHH, into `out`: whatever a name holds,
// it can never make a line of its own.
const char *escaped(const char *text, char *out, size_t size);

// A name or path escaped for the one console line that shows it, held until
// the end of the statement that prints `shown_name(path).text`.
struct shown_name {
    char text[PATH_MAX * 4];
    explicit shown_name(const char *name) { escaped(name, text, sizeof text); }
};

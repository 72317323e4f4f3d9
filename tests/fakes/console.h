// Captures what the code under test writes to standard output and
// standard error, byte for byte and stream by stream, and feeds its
// standard input from a string.
#ifndef TESTS_FAKES_CONSOLE_H
#define TESTS_FAKES_CONSOLE_H

#include <string>

struct console_capture {
	std::string out;
	std::string err;
};

// Starts capturing fd 1 and fd 2 (stdio buffers are flushed first); with
// `input`, standard input reads it, then end of input.
void console_begin(const std::string *input = nullptr);
// Stops capturing, restores the streams and returns what was written.
// Anything still in the stdio buffers is flushed into the capture: what
// the code under test forgot to flush shows up after what it did flush.
console_capture console_end();

#endif

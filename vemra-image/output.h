// SPDX-License-Identifier: MIT
// Output files (-o OUT), written whole or not at all: the bytes go to a
// temporary file, which only a complete run puts in place.
//   - A regular file, new or not, reached through any symbolic links: the
//     temporary file is made beside the file the links lead to, put on
//     disk and renamed over it; the links stay as they were.
//   - "-", standard output, or a path to what is no regular file (a
//     device, a FIFO, /dev/stdout on a pipe): the temporary file is made in
//     TMPDIR (/tmp) and copied there once complete. Nothing is written to a
//     terminal.
#ifndef VEMRA_IMAGE_OUTPUT_H
#define VEMRA_IMAGE_OUTPUT_H

#include <climits>

struct output {
	const char *name; // as given, for messages ("-": standard output)
	int fd;           // the temporary file, read and written
	int stream;       // where a stream output goes, or -1
	char temp[PATH_MAX];
	char target[PATH_MAX]; // the regular file renamed over
};

// Opens the temporary file for OUT; returns its descriptor, or -1 having
// said why.
int output_open(const char *out, output *o);
// Removes the temporary file; nothing of it reaches OUT.
void output_discard(output *o);
// Puts the temporary file's bytes in place; returns an exit status.
int output_commit(output *o);

#endif

// SPDX-License-Identifier: MIT
// The launcher's image check over a file read once, front to back, so that
// a pipe reads as a file does, and the verdict in words.
#ifndef VEMRA_IMAGE_CHECK_H
#define VEMRA_IMAGE_CHECK_H

#include <cstdint>
#include <string>
#include <vector>

#include "image.h"

// Where the pieces of a checked image go: the first two payload bytes are
// kept, to tell a gzip payload, and the payload is written to out unless
// out is -1. The payload is only whole when the image is valid.
struct payload_sink {
	int out;
	uint8_t lead[2];    // payload bytes 0 and 1
	uint32_t lead_have; // how many of them were there
};

// Checks the image from src as the launcher does, handing its pieces to
// p; bytes after length + 16 are not read. Returns false, having said
// why, when the image cannot be read or the payload not written (to
// payload_name).
bool check_source(const image_source *src, const char *path, payload_sink *p,
		  const char *payload_name, image_check *c);
// The same for the image in the file at `path`, read once.
bool check_file(const char *path, payload_sink *p, const char *payload_name, image_check *c);

// Why the image is rejected, in the words verify prints ("valid" if not).
std::string reason(const image_check &c);

// A whole file of at most max bytes: false, with errno (EFBIG when it
// holds more), when it cannot be read.
bool read_file(const char *path, std::vector<uint8_t> *data, size_t max = SIZE_MAX);

#endif

// SPDX-License-Identifier: MIT
// An image given to install or recovery: a FILE, or "-" for standard input
// (a pipe from wget, say). Whatever its size, at most a fixed amount of it
// is in memory at any time: it goes to where it is written piece by piece,
// checked on the way as the launcher checks it; then what was written is
// read back from the flash and checked again, and against its signature
// when the board trusts keys (the bytes signed are the bytes on flash).
// Nothing becomes bootable before that check has passed.
// An input holds one image: bytes past its header's length are refused.
#ifndef VEMRA_BOOT_INPUT_H
#define VEMRA_BOOT_INPUT_H

#include "image.h"
#include "meta.h"
#include "minisign.h"

#include <cstdint>

struct input {
	const char *name; // FILE, or "-"
	int fd;
	bool pipe;           // read once, in order, as it comes
	uint64_t file_size;  // a FILE's size
	image_check check;   // its header once opened; the whole image once received
	bool signed_image;   // the board trusts keys: then the rest is set
	char *signature;     // the signature file's text, kept beside a slot
	uint32_t signature_size;
	minisign_sig *sig;
	minisign_key key;    // the trusted key that signed it
	image_meta meta;     // what the signature says of the image
	bool progress;       // standard output is a terminal
	bool progress_lines; // each report on a line of its own (others print between)
	uint32_t shown;      // the last percentage shown, +1
};

// Where an image goes: the bytes it may take there, named for a refusal.
struct destination {
	uint64_t room;
	const char *name;
	bool allow_downgrade;
};

// Opens the image, reads and checks its signature file (signature names
// it; NULL: FILE.minisig) and reads its header: what can be refused before
// the image's bytes are read. STATUS_OK, or the refusal (1: too large, not
// signed by a trusted key, for another board, older than the floor, not an
// image the launcher boots) or the error (2) said in one line.
// close_input() in every case.
int open_input(const char *file, const char *signature, const destination *to, input *in);

// A FILE read and checked whole, before anything is written, where a
// refusal must leave the destination untouched (a pipe can be read only
// once: STATUS_OK).
int check_file_first(input *in);

// The image, from its first byte, handed to writer piece by piece as it
// arrives, with progress on a terminal. Refused when a pipe's image fails
// its checksum, ends early or goes on past its length; an error when it
// stalls or cannot be read, or when writer refuses a piece (it says why).
int receive_input(input *in, const image_sink *writer);

// What was written, read back through copy, as the launcher will read it:
// valid, with the header received, and signed as the signature says.
// where names it for an error.
int check_written(input *in, const image_source *copy, const char *where);

void close_input(input *in);

// The signature kept beside slot n (its image's, imageN.minisig) against
// the slot's bytes and the trusted keys; *m receives what it says.
enum kept_signature { KEPT_MATCHES, KEPT_DIFFERS, KEPT_NONE, KEPT_UNREADABLE };
kept_signature check_kept_signature(int n, image_meta *m);
// A kept signature file's text against the image src reads.
kept_signature check_kept(const char *text, uint32_t size, const image_source *src, image_meta *m);
// Where slot n's signature is kept (room for BOARD_SLOT_PATH_MAX bytes).
void kept_signature_path(int n, char *path);

#endif

// An image FILE given to install or recovery: refused before it is read
// when it is larger than where it goes; read whole into memory, its
// signature checked when the board trusts keys, with what the signature
// says of it (its version and board) against the board's identity, its
// image checked as the launcher checks it. What is then written is these
// bytes, the ones checked: nothing can change between the check and the
// write.
#ifndef VEMRA_BOOT_INPUT_H
#define VEMRA_BOOT_INPUT_H

#include "image.h"
#include "meta.h"

#include <cstdint>

struct input {
	uint8_t *bytes; // the whole file
	uint32_t size;
	image_check check;   // of the image at its start
	char *signature;     // the signature file's text; NULL when no key is trusted
	uint32_t signature_size;
	image_meta meta;     // what the signature says of the image
};

// Where an image goes: the bytes it may take there, named for a refusal.
struct destination {
	uint64_t room;
	const char *name;
	bool allow_downgrade;
};

// STATUS_OK, or the refusal (1: too large, not signed by a trusted key,
// for another board, older than the floor, not an image the launcher
// boots) or the error (2) said in one line. signature names the signature
// file; NULL: FILE.minisig. free_input() in every case.
int load_input(const char *file, const char *signature, const destination *to, input *in);
void free_input(input *in);

// How many keys /etc/vemra-boot/keys holds (*.pub), 0 when there is no
// such folder; -1, said, when it or one of its keys cannot be read. With
// none, signatures are not required.
int trusted_key_count(void);

// The signature kept beside slot n (its image's, imageN.minisig) against
// the slot's bytes and the trusted keys; *m receives what it says.
enum kept_signature { KEPT_MATCHES, KEPT_DIFFERS, KEPT_NONE, KEPT_UNREADABLE };
kept_signature check_kept_signature(int n, image_meta *m);
// Where slot n's signature is kept (room for 32 bytes).
void kept_signature_path(int n, char *path);

#endif

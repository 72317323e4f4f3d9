// An image FILE given to install or recovery: read whole into memory,
// its signature checked when the board trusts keys, its image checked as
// the launcher checks it. What is then written is these bytes, the ones
// checked: nothing can change between the check and the write.
#ifndef VEMRA_BOOT_INPUT_H
#define VEMRA_BOOT_INPUT_H

#include "image.h"

#include <cstdint>

struct input {
	uint8_t *bytes; // the whole file
	uint32_t size;
	image_check check; // of the image at its start
};

// STATUS_OK, or the refusal (1: not signed by a trusted key, not an image
// the launcher boots) or the error (2) said in one line. signature names
// the signature file; NULL: FILE.minisig. free_input() in every case.
int load_input(const char *file, const char *signature, input *in);
void free_input(input *in);

// How many keys /etc/vemra-boot/keys holds (*.pub); -1 when one of them
// cannot be read, said. With none, signatures are not required.
int trusted_key_count(void);

#endif

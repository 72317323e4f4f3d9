// SPDX-License-Identifier: MIT
// vemra-boot install and select: an image written into a slot, and the
// slot that the launcher boots first.
#ifndef VEMRA_BOOT_INSTALL_H
#define VEMRA_BOOT_INSTALL_H

// How an install or a select makes its slot the one that boots: at once
// (select) or for a trial of `trial` boots (0: no trial).
struct selection {
	bool select;
	int trial;
};

struct install_options {
	bool allow_downgrade; // older than the floor, as a person's decision
	bool force;           // into the slot that is running
};

// FILE, or "-" for standard input, into slot n (0: the one not running).
// A slot is selected only once it holds the image, whole and checked.
int cmd_install(const char *file, const char *signature, int n, const selection *how,
		const install_options *o);
// Slot n selected; one below the floor only with allow_downgrade.
int cmd_select(int n, const selection *how, bool allow_downgrade);

#endif

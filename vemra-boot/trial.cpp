#include "trial.h"

#include "board_api.h"
#include "console.h"
#include "identity.h"
#include "image.h"
#include "input.h"
#include "keys.h"
#include "slots.h"
#include "vpd.h"

#include <cstdio>

// The four bytes stay clear of the launcher's bytes 0 and 58 and inside
// the 256 bytes that the board layer reaches.
static_assert(VEMRA_TRIAL_VPD >= 1 && VEMRA_TRIAL_VPD <= 252 &&
		      (VEMRA_TRIAL_VPD > 58 || VEMRA_TRIAL_VPD + 3 < 58),
	      "VEMRA_TRIAL_VPD: four bytes from 1 to 255 that leave out byte 58");
const uint16_t TRIAL_VPD = VEMRA_TRIAL_VPD;

enum field { SLOT_BYTE, BOOTS_BYTE, USED_BYTE, ROLLBACK_BYTE, FIELDS };

// A slot in the bytes +0 and +3: a value that an EEPROM holds by chance
// (0x00, 0xFF, 1, 2, a failed read) is no slot.
static const uint8_t MARK = 0xB0;
static const uint8_t NONE = 0x00;

static uint16_t at(field f)
{
	return (uint16_t)(TRIAL_VPD + f);
}

static uint8_t mark(int slot)
{
	return (uint8_t)(MARK | slot);
}

static int marked_slot(int byte)
{
	return byte == mark(1) || byte == mark(2) ? byte & 3 : 0;
}

bool read_trial(trial *t)
{
	int bytes[FIELDS];

	*t = trial{};
	for (int f = 0; f < FIELDS; f++) {
		bytes[f] = read_vpd(at((field)f));
		if (bytes[f] < 0)
			return false;
	}
	t->slot = marked_slot(bytes[SLOT_BYTE]);
	t->pending = t->slot != 0;
	t->boots = bytes[BOOTS_BYTE];
	t->used = bytes[USED_BYTE];
	t->rolled_back = marked_slot(bytes[ROLLBACK_BYTE]);
	return true;
}

// The trial's bytes, or false said.
static bool load_trial(trial *t)
{
	if (read_trial(t))
		return true;
	error("cannot read VPD bytes %u to %u (the trial)", (unsigned)at(SLOT_BYTE),
	      (unsigned)at(ROLLBACK_BYTE));
	return false;
}

int no_trial_pending(void)
{
	trial t;

	if (!load_trial(&t))
		return STATUS_ERROR;
	if (!t.pending)
		return STATUS_OK;
	error("the trial of image %d is pending: confirm or reject it first", t.slot);
	return STATUS_REFUSED;
}

int trial_allowed(int n)
{
	const int selected = read_vpd(VPD_SELECTED_IMAGE);
	const int status = no_trial_pending();
	const int way_back = other_slot(n);
	image_check c;

	if (status != STATUS_OK)
		return status;
	if (selected < 0) {
		error("cannot read VPD byte 0");
		return STATUS_ERROR;
	}
	if (boots_first(selected) == n) {
		error("image %d boots now: a trial needs the other slot to go back to", n);
		return STATUS_REFUSED;
	}
	if (!check_file(slot_path(way_back), &c) || c.state != IMAGE_VALID) {
		error("image %d is no way back: %s holds no image the launcher boots", way_back,
		      slot_path(way_back));
		return STATUS_REFUSED;
	}
	return STATUS_OK;
}

int trial_begin(int n, int boots)
{
	if (!put_vpd(at(BOOTS_BYTE), (uint8_t)boots) || !put_vpd(at(USED_BYTE), 0))
		return STATUS_ERROR;
	// Until its slot is selected, a recorded trial is one that boot-check
	// ends, the way back still selected.
	if (set_vpd(at(SLOT_BYTE), mark(n)) != VPD_SET)
		return STATUS_ERROR;
	switch (set_vpd(VPD_SELECTED_IMAGE, (uint8_t)n)) {
	case VPD_SET:
		return STATUS_OK;
	case VPD_NOT_SET:
		put_vpd(at(SLOT_BYTE), NONE);
		return STATUS_ERROR;
	case VPD_UNCLEAR:
		// Byte 0 holds n or the way back: the trial stays recorded, so
		// that boot-check counts it or ends it as byte 0 turns out.
		break;
	}
	return STATUS_ERROR;
}

/* Going back: the way back selected first, then the record, then the end. */

static bool end_trial(const trial *t)
{
	return put_vpd(at(ROLLBACK_BYTE), mark(t->slot)) && put_vpd(at(SLOT_BYTE), NONE);
}

static bool go_back(const trial *t)
{
	return set_vpd(VPD_SELECTED_IMAGE, (uint8_t)other_slot(t->slot)) == VPD_SET &&
	       end_trial(t);
}

/* boot-check */

// The boot before this one was one of the trial's, and the launcher
// started another image: the slot on trial failed its check.
static bool fell_back(const trial *t)
{
	const int booted = read_vpd(VPD_BOOTED_IMAGE);

	return t->used > 0 && booted != t->slot &&
	       (booted == 1 || booted == 2 || booted == RECOVERY_IMAGE);
}

static void check_trial(trial *t, int selected)
{
	const int back = other_slot(t->slot);

	if (boots_first(selected) != t->slot) {
		// A reject or a rollback that a power cut stopped after the
		// selection, or a trial that one stopped before it.
		if (end_trial(t))
			printf("vemra-boot: the trial of image %d ended: image %d is selected\n",
			       t->slot, back);
	} else if (fell_back(t)) {
		if (go_back(t))
			printf("vemra-boot: image %d on trial did not boot: back to image %d\n",
			       t->slot, back);
	} else if (t->used < t->boots) {
		put_vpd(at(USED_BYTE), (uint8_t)(t->used + 1));
	} else if (go_back(t)) {
		printf("vemra-boot: image %d not confirmed in %d boots: back to image %d\n", t->slot,
		       t->boots, back);
	} else {
		error("boot-check: image %d could not be selected away; trying again next boot",
		      t->slot);
	}
}

// Never stops a boot: what fails is one line on stderr, and the status is
// 0 whatever happens, so that init goes on to the launcher. With no trial
// pending nothing is written, and the flash is not read.
int cmd_boot_check(void)
{
	trial t;
	int byte;

	api_i2c_init();
	// One byte tells whether a trial is pending, at every boot.
	byte = read_vpd(at(SLOT_BYTE));
	if (byte < 0)
		error("boot-check: cannot read VPD byte %u", (unsigned)at(SLOT_BYTE));
	else if (marked_slot(byte) && load_trial(&t) && t.pending) {
		const int selected = read_vpd(VPD_SELECTED_IMAGE);

		if (selected < 0 || selected == 0xFF)
			error("boot-check: VPD byte 0 cannot be read: the trial of image %d waits",
			      t.slot);
		else
			check_trial(&t, selected);
	}
	api_i2c_close();
	fflush(stdout);
	return STATUS_OK;
}

/* confirm and reject */

static int nothing_to(const char *verb)
{
	printf("no trial pending: nothing to %s\n", verb);
	return STATUS_OK;
}

// With trusted keys, the version that the slot's kept signature gives its
// image becomes the floor; a slot without a signature that matches it
// leaves the floor as it is. Keys that cannot be read (said) fail it.
static bool raise_floor(int slot)
{
	const int keys = trusted_key_count();
	image_meta m;

	if (keys <= 0 || check_kept_signature(slot, &m) != KEPT_MATCHES || !m.version[0])
		return keys >= 0;
	return write_floor(m.version);
}

static int confirm_trial(const trial *t)
{
	const int booted = read_vpd(VPD_BOOTED_IMAGE);
	const int selected = read_vpd(VPD_SELECTED_IMAGE);

	if (booted != t->slot) {
		error("image %d is on trial, but image %d booted: not confirmed", t->slot, booted);
		return STATUS_REFUSED;
	}
	if (selected != t->slot) {
		error("image %d is on trial, but VPD byte 0 is %d: not confirmed", t->slot, selected);
		return STATUS_REFUSED;
	}
	// The floor first: a power cut before the trial ends leaves it raised,
	// never lower. The last rollback is history once a later trial is good.
	if (!raise_floor(t->slot) || !put_vpd(at(ROLLBACK_BYTE), NONE) ||
	    set_vpd(at(SLOT_BYTE), NONE) != VPD_SET)
		return STATUS_ERROR;
	printf("trial of image %d confirmed\n", t->slot);
	return STATUS_OK;
}

static int reject_trial(const trial *t)
{
	if (!go_back(t))
		return STATUS_ERROR;
	printf("trial of image %d rejected: back to image %d\n", t->slot, other_slot(t->slot));
	return STATUS_OK;
}

// The pending trial ended by end(), or said that there is none.
static int end_pending(const char *verb, int (*end)(const trial *))
{
	trial t;
	int status = STATUS_ERROR;

	api_i2c_init();
	if (load_trial(&t))
		status = t.pending ? end(&t) : nothing_to(verb);
	api_i2c_close();
	return status;
}

// Run by the application once it is healthy.
int cmd_confirm(void)
{
	return end_pending("confirm", confirm_trial);
}

// By the application, or a person, who sees that the update is bad.
int cmd_reject(void)
{
	return end_pending("reject", reject_trial);
}

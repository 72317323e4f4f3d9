// SPDX-License-Identifier: MIT
#include "trial.h"

#include "board_api.h"
#include "console.h"
#include "identity.h"
#include "image.h"
#include "input.h"
#include "keys.h"
#include "slots.h"
#include "vpd.h"

#include <algorithm>
#include <cstdio>

// The six bytes stay clear of the launcher's two bytes and inside the
// EEPROM (cmake/board.cmake checks the same).
static constexpr bool clear_of(uint16_t byte)
{
	return byte < BOARD_TRIAL_VPD || byte >= BOARD_TRIAL_VPD + TRIAL_BYTES;
}
static_assert(BOARD_TRIAL_VPD + TRIAL_BYTES <= BOARD_EEPROM_SIZE && clear_of(VPD_SELECTED_IMAGE) &&
		      clear_of(VPD_BOOTED_IMAGE),
	      "the trial's six bytes: inside the EEPROM, clear of the launcher's two");
const uint16_t TRIAL_VPD = BOARD_TRIAL_VPD;

enum field { SLOT_BYTE, CHECK_BYTE, BOOTS_BYTE, USED_BYTE, USED_COPY, ROLLBACK_BYTE };
static_assert(ROLLBACK_BYTE + 1 == TRIAL_BYTES, "one field a byte");

// A slot in the bytes +0 and +5: a value that an EEPROM holds by chance
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

static uint8_t check_of(int slot)
{
	return (uint8_t)~mark(slot);
}

static int marked_slot(int byte)
{
	return byte == mark(1) || byte == mark(2) ? byte & 3 : 0;
}

// The bytes as they are; false when the EEPROM cannot be addressed.
static bool read_bytes(int bytes[TRIAL_BYTES])
{
	for (int f = 0; f < TRIAL_BYTES; f++) {
		bytes[f] = read_vpd(at((field)f));
		if (bytes[f] < 0)
			return false;
	}
	return true;
}

bool read_trial(trial *t)
{
	int bytes[TRIAL_BYTES];

	*t = trial{};
	if (!read_bytes(bytes))
		return false;
	t->slot = marked_slot(bytes[SLOT_BYTE]);
	t->pending = t->slot != 0 && bytes[CHECK_BYTE] == check_of(t->slot);
	if (!t->pending)
		t->slot = 0;
	t->boots = bytes[BOOTS_BYTE];
	t->used = std::max(bytes[USED_BYTE], bytes[USED_COPY]);
	t->rolled_back = marked_slot(bytes[ROLLBACK_BYTE]);
	return true;
}

static void cannot_read_trial(void)
{
	error("cannot read VPD bytes %u to %u (the trial)", (unsigned)at(SLOT_BYTE),
	      (unsigned)at(ROLLBACK_BYTE));
}

// The trial's bytes, or false said.
static bool load_trial(trial *t)
{
	if (read_trial(t))
		return true;
	cannot_read_trial();
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
		error("cannot read VPD byte " BOARD_VPD_SELECTED_TEXT);
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

// A check for the way back, left by earlier cuts, is cleared before
// anything else is written: the slot byte, written next, could otherwise
// be torn into the way back's mark and make a trial of the slot that
// boots now. Once it is cleared, a torn byte can only make a record for
// n, which is not selected yet, and boot-check ends that.
static bool clear_way_back_check(int n, const int bytes[TRIAL_BYTES])
{
	return bytes[CHECK_BYTE] != check_of(other_slot(n)) || put_vpd(at(CHECK_BYTE), NONE);
}

int trial_begin(int n, int boots)
{
	int bytes[TRIAL_BYTES];

	if (!read_bytes(bytes)) {
		cannot_read_trial();
		return STATUS_ERROR;
	}
	// The record holds once its check is written, n selected after it.
	if (!clear_way_back_check(n, bytes) || !put_vpd(at(BOOTS_BYTE), (uint8_t)boots) ||
	    !put_vpd(at(USED_BYTE), 0) || !put_vpd(at(USED_COPY), 0) ||
	    !put_vpd(at(SLOT_BYTE), mark(n)) || !put_vpd(at(CHECK_BYTE), check_of(n)))
		return STATUS_ERROR;
	switch (set_vpd(VPD_SELECTED_IMAGE, (uint8_t)n)) {
	case VPD_SET:
		return STATUS_OK;
	case VPD_NOT_SET:
		put_vpd(at(CHECK_BYTE), NONE);
		return STATUS_ERROR;
	case VPD_UNCLEAR:
		// Byte 0 holds n, the way back or a torn byte: the trial stays
		// recorded, and boot-check counts it or ends it as the launcher
		// will read byte 0.
		break;
	}
	return STATUS_ERROR;
}

/* Ending: the trial ends when its check is cleared; the slot byte after. */

static bool end_trial(uint8_t rollback)
{
	return put_vpd(at(ROLLBACK_BYTE), rollback) && put_vpd(at(CHECK_BYTE), NONE) &&
	       put_vpd(at(SLOT_BYTE), NONE);
}

// The way back selected (unless byte 0 holds exactly it), then the end.
static bool go_back(const trial *t, int selected)
{
	const int back = other_slot(t->slot);

	if (selected != back && !put_vpd(VPD_SELECTED_IMAGE, (uint8_t)back))
		return false;
	return end_trial(mark(t->slot));
}

/* boot-check */

// The boot before this one was one of the trial's, and the launcher
// started another image: the slot on trial failed its check.
static bool fell_back(const trial *t)
{
	const int booted = read_vpd(VPD_BOOTED_IMAGE);

	return t->used > 0 && (booted == other_slot(t->slot) || booted == RECOVERY_IMAGE);
}

// One boot more of the trial, in both copies of the count. Byte 58 is
// cleared first, so that at the next boot it names what the launcher
// started in this one, or nothing when a power cut came before it did.
static void count_boot(const trial *t)
{
	const uint8_t used = (uint8_t)(t->used + 1);

	if (put_vpd(VPD_BOOTED_IMAGE, NONE) && put_vpd(at(USED_BYTE), used))
		put_vpd(at(USED_COPY), used);
}

static void check_trial(const trial *t, int selected)
{
	const int back = other_slot(t->slot);
	enum { ENDED, FELL_BACK, USED_UP } why;

	if (boots_first(selected) != t->slot) {
		// A reject or a rollback that a power cut stopped after the
		// selection, a trial that one stopped before it, or a byte 0
		// that the launcher does not read as the slot on trial.
		why = ENDED;
	} else if (fell_back(t)) {
		why = FELL_BACK;
	} else if (t->used < t->boots && t->boots <= TRIAL_BOOTS_MAX) {
		count_boot(t);
		return;
	} else {
		why = USED_UP;
	}
	if (!go_back(t, selected))
		error("boot-check: image %d could not be selected away; trying again next boot",
		      t->slot);
	else if (why == ENDED)
		printf("vemra-boot: the trial of image %d ended: image %d is selected\n", t->slot, back);
	else if (why == FELL_BACK)
		printf("vemra-boot: image %d on trial did not boot: back to image %d\n", t->slot, back);
	else
		printf("vemra-boot: image %d not confirmed in %d boots: back to image %d\n", t->slot,
		       t->boots, back);
}

// Never stops a boot: what fails is one line on stderr, and the status is
// 0 whatever happens, so that init goes on to the launcher. With no trial
// pending nothing is written, and the flash is not read.
int cmd_boot_check(void)
{
	trial t;
	int byte;

	api_i2c_init();
	// One byte tells whether a trial may be pending, at every boot.
	byte = read_vpd(at(SLOT_BYTE));
	if (byte < 0)
		error("boot-check: cannot read VPD byte %u", (unsigned)at(SLOT_BYTE));
	else if (marked_slot(byte) && load_trial(&t) && t.pending)
		check_trial(&t, read_vpd(VPD_SELECTED_IMAGE));
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
// image raises the floor; a slot without a signature that matches it
// leaves the floor as it is. Keys or a signature that cannot be read
// (said) fail it: the trial stays pending, and confirm may be run again.
static bool raise_floor(int slot)
{
	const int keys = trusted_key_count();
	image_meta m;
	kept_signature k;

	if (keys <= 0)
		return keys == 0;
	k = check_kept_signature(slot, &m);
	if (k == KEPT_UNREADABLE)
		error("cannot read %s's signature: the floor is not raised", slot_path(slot));
	if (k != KEPT_MATCHES || !m.version[0])
		return k != KEPT_UNREADABLE;
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
	if (boots_first(selected) != t->slot) {
		error("image %d is on trial, but VPD byte " BOARD_VPD_SELECTED_TEXT " is %d: not confirmed", t->slot, selected);
		return STATUS_REFUSED;
	}
	// Byte 0 made exactly the slot first (the launcher reads a torn one as
	// slot 1), then the floor: a power cut before the trial ends leaves it
	// raised, never lower. The last rollback is history once a later trial
	// is good.
	if ((selected != t->slot && !put_vpd(VPD_SELECTED_IMAGE, (uint8_t)t->slot)) ||
	    !raise_floor(t->slot) || !end_trial(NONE))
		return STATUS_ERROR;
	printf("trial of image %d confirmed\n", t->slot);
	return STATUS_OK;
}

static int reject_trial(const trial *t)
{
	if (!go_back(t, read_vpd(VPD_SELECTED_IMAGE)))
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

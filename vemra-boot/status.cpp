// SPDX-License-Identifier: MIT
#include "status.h"

#include "board_api.h"
#include "console.h"
#include "identity.h"
#include "input.h"
#include "keep.h"
#include "keys.h"
#include "slots.h"
#include "switches.h"
#include "trial.h"
#include "uboot_env.h"
#include "vpd.h"

#include <cerrno>
#include <cstdio>

static const char RESCUE_DEVICE[] = BOARD_MTD_RESCUE;
static const char ENV_DEVICE[] = BOARD_MTD_ENV;

// Beside the image states: a slot file that is not there, and what
// cannot be read at all.
enum { UNREADABLE = -1, MISSING = -2 };

struct image_status {
	int state; // image_state, MISSING or UNREADABLE
	image_header header;
	kept_signature kept; // with trusted keys, of a valid slot
	image_meta meta;     // what a kept signature that matches says
};

struct board_status {
	int selected; // VPD byte 0, or UNREADABLE
	int booted;   // VPD byte 58, or UNREADABLE
	bool trial_read;
	trial trial_bytes;
	image_status slot[2];
	image_status rescue;
	bool switches_read;
	launch_settings_t switches;
	int keys; // trusted keys, or -1: unreadable
	bool identity_read; // with trusted keys: the board's string and floor
	char board[META_TEXT_MAX], floor[META_TEXT_MAX];
};

static void slot_status(int n, image_status *s)
{
	image_check c;

	if (check_file(slot_path(n), &c))
		s->state = c.state;
	else
		s->state = errno == ENOENT ? MISSING : UNREADABLE;
	s->header = c.header;
}

// The recovery image as the launcher reads it, but not past the end of
// the partition.
static void rescue_status(bool flash, image_status *s)
{
	uint32_t end = UINT32_MAX;
	image_source src;
	image_check c;

	s->state = UNREADABLE;
	if (!flash || rescue_fd < 0)
		return;
	mtd_get_size(rescue_fd, &end);
	src = flash_source(rescue_fd, end);
	image_check_all(&src, &c, piece, sizeof piece, NULL);
	// A read that fails, in the header or after it, leaves the image
	// unknown: the launcher would not boot it, and status says why.
	s->state = c.state;
	if (c.error)
		s->state = UNREADABLE;
	s->header = c.header;
}

// The signature kept for the recovery image, against its bytes.
static kept_signature rescue_signature(image_meta *m)
{
	uint32_t partition, sector;
	kept_record k;
	kept_signature kept = KEPT_NONE;

	*m = image_meta{};
	if (rescue_geometry(&partition, &sector) != STATUS_OK || !read_kept(&k))
		return KEPT_UNREADABLE;
	if (k.signature) {
		const image_source src = flash_source(rescue_fd, rescue_room(partition, sector));

		kept = check_kept(k.signature, k.signature_size, &src, m);
	}
	free_kept(&k);
	return kept;
}

static void gather_status(board_status *b)
{
	bool flash;

	api_i2c_init();
	b->selected = read_vpd(VPD_SELECTED_IMAGE);
	b->booted = read_vpd(VPD_BOOTED_IMAGE);
	b->trial_read = b->selected != UNREADABLE && read_trial(&b->trial_bytes);
	api_i2c_close();

	flash = api_flash_init() == 0;
	b->switches_read = flash && read_switches(&b->switches);
	slot_status(1, &b->slot[0]);
	slot_status(2, &b->slot[1]);
	rescue_status(flash, &b->rescue);
	b->keys = trusted_key_count();
	if (b->keys <= 0)
		return;
	for (int n = 1; n <= 2; n++)
		if (b->slot[n - 1].state == IMAGE_VALID)
			b->slot[n - 1].kept = check_kept_signature(n, &b->slot[n - 1].meta);
	if (b->rescue.state == IMAGE_VALID)
		b->rescue.kept = rescue_signature(&b->rescue.meta);
	b->identity_read = read_board(b->board) && read_floor(b->floor);
}

static const char *state_word(int state)
{
	if (state == MISSING)
		return "missing";
	if (state == UNREADABLE)
		return "unreadable";
	return verdict((image_state)state);
}

static void print_line(const char *label, const char *value)
{
	printf("%-15s%s\n", label, value);
}

static void print_vpd_line(const char *label, int value, const char *note)
{
	char text[80];

	if (value == UNREADABLE)
		snprintf(text, sizeof text, "unreadable");
	else if (value == 0xFF)
		snprintf(text, sizeof text, "255 or a failed read%s", note);
	else
		snprintf(text, sizeof text, "%d%s", value, note);
	print_line(label, text);
}

static const char *const KEPT_WORDS[] = { "matches", "differs", "none", "unreadable" };

// With trusted keys: what the signature kept beside a valid slot says.
static void kept_text(const image_status *s, bool keys, char *text, size_t size)
{
	text[0] = '\0';
	if (!keys || s->state != IMAGE_VALID)
		return;
	if (s->kept != KEPT_MATCHES)
		snprintf(text, size, ", signature %s", s->kept == KEPT_NONE ? "none"
				     : s->kept == KEPT_DIFFERS ? "does not match" : "unreadable");
	else
		snprintf(text, size, ", signed%s%s%s%s", s->meta.version[0] ? " version " : "",
			 s->meta.version, s->meta.board[0] ? " for " : "", s->meta.board);
}

static void print_image_line(const char *label, const image_status *s, bool keys)
{
	char value[64 + 2 * META_TEXT_MAX], kept[32 + 2 * META_TEXT_MAX];

	kept_text(s, keys, kept, sizeof kept);
	if (s->state == IMAGE_VALID)
		snprintf(value, sizeof value, "valid, length %u, crc 0x%08x%s",
			 (unsigned)s->header.length, (unsigned)s->header.crc, kept);
	else
		snprintf(value, sizeof value, "%s", state_word(s->state));
	print_line(label, value);
}

static void print_switches(const launch_settings_t *s)
{
	char value[32], address[IPV4_TEXT_SIZE];

	print_line("gdb:", s->gdb_enable ? "on" : "off");
	format_ipv4(address, s->gdbserver);
	snprintf(value, sizeof value, "%s:%d", address, (int)s->gdbport);
	print_line("gdbserver:", value);
	print_line("shell:", s->shell_enable ? "on" : "off");
	print_line("memchk:", s->memchk_enable ? "on" : "off");
	print_line("diagnostics:", s->rescue_enable ? "rescue" : "normal");
}

// A rollback shown beside a pending trial happened before that trial
// began; a confirmed trial drops it.
static void print_trial(const board_status *b)
{
	const trial &t = b->trial_bytes;
	char value[80];

	if (!b->trial_read) {
		print_line("trial:", "unreadable");
		return;
	}
	if (t.pending) {
		snprintf(value, sizeof value, "image %d, %d of %d boots, way back image %d", t.slot,
			 t.used, t.boots, other_slot(t.slot));
		print_line("trial:", value);
	}
	if (t.rolled_back) {
		snprintf(value, sizeof value, "image %d went back to image %d%s", t.rolled_back,
			 other_slot(t.rolled_back), t.pending ? ", before the trial pending" : "");
		print_line("rollback:", value);
	}
}

static const char *signatures_text(int keys, char *value, size_t size)
{
	if (keys == 0)
		snprintf(value, size, "not required");
	else if (keys > 0)
		snprintf(value, size, "required, %d trusted key%s", keys, keys == 1 ? "" : "s");
	else
		snprintf(value, size, "unreadable");
	return value;
}

static void print_status(const board_status *b)
{
	// The launcher boots slot 1 for any value of byte 0 but 1 and 2.
	const bool selected_boots = b->selected == 1 || b->selected == 2;
	char value[48];

	print_vpd_line("selected:", b->selected, selected_boots ? "" : " (boots 1)");
	print_vpd_line("booted:", b->booted, b->booted == RECOVERY_IMAGE ? " (recovery)" : "");
	print_image_line("image1:", &b->slot[0], b->keys > 0);
	print_image_line("image2:", &b->slot[1], b->keys > 0);
	print_image_line("rescue:", &b->rescue, b->keys > 0);
	print_line("signatures:", signatures_text(b->keys, value, sizeof value));
	if (b->keys > 0) {
		print_line("board:", !b->identity_read ? "unreadable" : b->board[0] ? b->board : "none");
		print_line("floor:", !b->identity_read ? "unreadable" : b->floor[0] ? b->floor : "none");
	}
	if (b->switches_read)
		print_switches(&b->switches);
	else
		print_line("switches:", "unreadable (the launcher then runs with all off)");
	print_trial(b);
}

static void print_key_vpd(const char *key, int value)
{
	if (value == UNREADABLE)
		printf("%s=unreadable\n", key);
	else
		printf("%s=%d\n", key, value);
}

static void print_key_image(const char *key, const image_status *s, bool keys)
{
	printf("%s=%s\n", key, state_word(s->state));
	if (s->state != IMAGE_VALID)
		return;
	printf("%s_length=%u\n", key, (unsigned)s->header.length);
	printf("%s_crc=0x%08x\n", key, (unsigned)s->header.crc);
	if (!keys)
		return;
	printf("%s_signature=%s\n", key, KEPT_WORDS[s->kept]);
	if (s->meta.version[0])
		printf("%s_version=%s\n", key, s->meta.version);
	if (s->meta.board[0])
		printf("%s_board=%s\n", key, s->meta.board);
}

static void print_key_switches(const launch_settings_t *s)
{
	char address[IPV4_TEXT_SIZE];

	format_ipv4(address, s->gdbserver);
	printf("gdb=%d\n", s->gdb_enable ? 1 : 0);
	printf("gdbserver=%s\n", address);
	printf("gdbport=%d\n", (int)s->gdbport);
	printf("shell=%d\n", s->shell_enable ? 1 : 0);
	printf("memchk=%d\n", s->memchk_enable ? 1 : 0);
	printf("rescue_mode=%d\n", s->rescue_enable ? 1 : 0);
}

static void print_key_trial(const board_status *b)
{
	const trial &t = b->trial_bytes;

	if (!b->trial_read) {
		printf("trial=unreadable\n");
		return;
	}
	if (t.pending)
		printf("trial=%d\ntrial_boots=%d\ntrial_used=%d\ntrial_way_back=%d\n", t.slot,
		       t.boots, t.used, other_slot(t.slot));
	if (t.rolled_back)
		printf("rollback=%d\nrollback_to=%d\n", t.rolled_back, other_slot(t.rolled_back));
}

static void print_status_keys(const board_status *b)
{
	print_key_vpd("selected", b->selected);
	print_key_vpd("booted", b->booted);
	print_key_image("image1", &b->slot[0], b->keys > 0);
	print_key_image("image2", &b->slot[1], b->keys > 0);
	print_key_image("rescue", &b->rescue, b->keys > 0);
	if (b->keys >= 0)
		printf("signature_keys=%d\n", b->keys);
	else
		printf("signature_keys=unreadable\n");
	if (b->keys > 0 && b->identity_read)
		printf("board=%s\nfloor=%s\n", b->board, b->floor);
	else if (b->keys > 0)
		printf("board=unreadable\nfloor=unreadable\n");
	if (b->switches_read)
		print_key_switches(&b->switches);
	else
		printf("switches=unreadable\n");
	print_key_trial(b);
}

int cmd_status(bool keys)
{
	int status = STATUS_OK;
	board_status b;

	gather_status(&b);
	if (keys)
		print_status_keys(&b);
	else
		print_status(&b);
	if (b.selected == UNREADABLE || b.booted == UNREADABLE) {
		error("cannot read the VPD EEPROM");
		status = STATUS_ERROR;
	}
	for (int n = 1; n <= 2; n++) {
		if (b.slot[n - 1].state == UNREADABLE) {
			error("cannot read %s", slot_path(n));
			status = STATUS_ERROR;
		}
	}
	if (b.rescue.state == UNREADABLE) {
		error("cannot read %s", RESCUE_DEVICE);
		status = STATUS_ERROR;
	}
	if (!b.switches_read) {
		error("cannot read %s", ENV_DEVICE);
		status = STATUS_ERROR;
	}
	if (!b.trial_read && b.selected != UNREADABLE) {
		error("cannot read VPD bytes %u to %u (the trial)", (unsigned)TRIAL_VPD,
		      (unsigned)TRIAL_VPD + TRIAL_BYTES - 1);
		status = STATUS_ERROR;
	}
	for (int n = 1; n <= 2; n++) {
		if (b.keys > 0 && b.slot[n - 1].state == IMAGE_VALID &&
		    b.slot[n - 1].kept == KEPT_UNREADABLE) {
			error("cannot read %s's signature", slot_path(n));
			status = STATUS_ERROR;
		}
	}
	if (b.keys > 0 && b.rescue.state == IMAGE_VALID && b.rescue.kept == KEPT_UNREADABLE) {
		error("cannot read the recovery image's signature");
		status = STATUS_ERROR;
	}
	if (b.keys < 0 || (b.keys > 0 && !b.identity_read))
		status = STATUS_ERROR;
	return status;
}

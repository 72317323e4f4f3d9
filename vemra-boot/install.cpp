// SPDX-License-Identifier: MIT
#include "install.h"

#include "board_api.h"
#include "console.h"
#include "identity.h"
#include "image.h"
#include "input.h"
#include "keys.h"
#include "slots.h"
#include "trial.h"
#include "vpd.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

static const char USER_DIR[] = BOARD_USER_DIR;

// The copy beside the slot that an install writes.
static char temp_path[BOARD_SLOT_PATH_MAX];
static int copy_fd = -1;

// Creates /user/images when it is missing, its entry put on disk too.
static bool make_images_dir(void)
{
	if (mkdir(IMAGES_DIR, 0755) == 0) {
		if (sync_dir(USER_DIR))
			return true;
		error("%s: %s", USER_DIR, strerror(errno));
		return false;
	}
	if (errno == EEXIST)
		return true;
	error("%s: %s", IMAGES_DIR, strerror(errno));
	return false;
}

static bool write_piece(const image_sink *sink, uint32_t offset, const uint8_t *bytes,
			uint32_t count)
{
	const char *temp = (const char *)sink->ctx;

	(void)offset;
	if (write_all(copy_fd, bytes, count))
		return true;
	error("%s: %s", temp, strerror(errno));
	return false;
}

// The copy on disk, read back from the flash as the launcher will read it.
static int copy_holds(input *in, const char *temp)
{
	const image_source src = fd_source(copy_fd);

	if (fsync(copy_fd) != 0) {
		error("%s: %s", temp, strerror(errno));
		return STATUS_ERROR;
	}
	// Not from the page cache: what the flash holds.
	posix_fadvise(copy_fd, 0, 0, POSIX_FADV_DONTNEED);
	return check_written(in, &src, temp);
}

// The image goes into a copy beside the slot as it arrives; until the
// copy is read back whole and checked, and renamed over the slot, the
// slot keeps its old image. A copy that fails is removed; one left behind
// by a power cut is never read by the launcher, and the next install of
// the same slot makes its copy anew.
static int install_image(input *in, int n)
{
	const image_sink sink = { write_piece, temp_path };
	int status = STATUS_ERROR;

	snprintf(temp_path, sizeof temp_path, "%s/.image%d.new", IMAGES_DIR, n);
	if (!make_images_dir())
		return STATUS_ERROR;
	copy_fd = create_anew(temp_path);
	if (copy_fd < 0)
		error("%s: %s", temp_path, strerror(errno));
	else
		status = receive_input(in, &sink);
	if (status == STATUS_OK)
		status = copy_holds(in, temp_path);
	if (copy_fd >= 0 && close(copy_fd) != 0 && status == STATUS_OK) {
		error("%s: %s", temp_path, strerror(errno));
		status = STATUS_ERROR;
	}
	if (status == STATUS_OK && rename(temp_path, slot_path(n)) != 0) {
		error("%s: %s", slot_path(n), strerror(errno));
		status = STATUS_ERROR;
	}
	if (status != STATUS_OK) {
		unlink(temp_path);
		return status;
	}
	if (!sync_dir(IMAGES_DIR)) {
		error("%s: %s", IMAGES_DIR, strerror(errno));
		return STATUS_ERROR;
	}
	printf("image %d installed: length %u, crc 0x%08x\n", n, (unsigned)in->check.header.length,
	       (unsigned)in->check.header.crc);
	return STATUS_OK;
}

// The signature checked, kept beside the slot for status and confirm (or
// what was there removed, with none): written after the slot, so that a
// power cut between them leaves a signature that status shows as not
// matching, never one that matches another image.
static bool keep_signature(int n, const input *in)
{
	char path[BOARD_SLOT_PATH_MAX];

	kept_signature_path(n, path);
	if (in->signature)
		return replace_file(path, (const uint8_t *)in->signature, in->signature_size);
	if (unlink(path) == 0 || errno == ENOENT)
		return true;
	error("%s: %s", path, strerror(errno));
	return false;
}

// What is checked before anything is written: a trial that can be, or no
// trial pending (neither slot may change under one).
static int may_change(int n, const selection *how)
{
	if (how->trial)
		return trial_allowed(n);
	return no_trial_pending();
}

// n selected once it holds its image: at once, or for a trial.
static int select_now(int n, const selection *how)
{
	int status = STATUS_OK;

	if (how->trial)
		status = trial_begin(n, how->trial);
	else if (how->select && set_vpd(VPD_SELECTED_IMAGE, (uint8_t)n) != VPD_SET)
		status = STATUS_ERROR;
	if (status == STATUS_OK && how->trial)
		printf("selected image %d for a trial of %d boots\n", n, how->trial);
	else if (status == STATUS_OK && how->select)
		printf("selected image %d\n", n);
	return status;
}

// The floor follows a signed image installed without a trial; a trial's
// is raised when it is confirmed.
static int install_input(input *in, int n, const selection *how)
{
	int status = install_image(in, n);

	if (status == STATUS_OK && !keep_signature(n, in))
		status = STATUS_ERROR;
	if (status == STATUS_OK && !how->trial && in->signature && in->meta.version[0] &&
	    !write_floor(in->meta.version))
		status = STATUS_ERROR;
	if (status == STATUS_OK)
		status = select_now(n, how);
	return status;
}

// The slot an install writes: n, or with none the slot that is not running
// (VPD byte 58: *running, 0 when no slot runs), named. An EEPROM that cannot
// be read with a slot named is refused next, by may_change(): the trial's
// bytes are in it too.
static int target_slot(int *n, int *running)
{
	const int booted = read_vpd(VPD_BOOTED_IMAGE);

	*running = booted == 1 || booted == 2 ? booted : 0;
	if (*n)
		return STATUS_OK;
	if (booted < 0) {
		error("cannot read VPD byte " BOARD_VPD_BOOTED_TEXT);
		return STATUS_ERROR;
	}
	if (!*running) {
		error("VPD byte " BOARD_VPD_BOOTED_TEXT " is %d: no slot is running, so name the slot to install into", booted);
		return STATUS_REFUSED;
	}
	*n = other_slot(*running);
	printf("installing into image %d: image %d is running\n", *n, *running);
	return STATUS_OK;
}

// The running slot holds the image known to boot: it is written over only
// as a person's decision, as a board whose new image fails has then none
// of its last good one to go back to.
static int not_running(int n, int running, bool force)
{
	if (n != running || force)
		return STATUS_OK;
	error("image %d is running (VPD byte " BOARD_VPD_BOOTED_TEXT "): --force installs over it", n);
	return STATUS_REFUSED;
}

// The room on /user for the copy beside the slot.
static bool user_room(uint64_t *room)
{
	struct statvfs st;

	if (statvfs(USER_DIR, &st) != 0) {
		error("%s: %s", USER_DIR, strerror(errno));
		return false;
	}
	*room = (uint64_t)st.f_bavail * st.f_frsize;
	return true;
}

int cmd_install(const char *file, const char *signature, int n, const selection *how,
		const install_options *o)
{
	destination to = { 0, USER_DIR, o->allow_downgrade };
	input in = {};
	int status = user_mounted() && user_room(&to.room) ? STATUS_OK : STATUS_ERROR;
	int running = 0;

	api_i2c_init();
	if (status == STATUS_OK)
		status = target_slot(&n, &running);
	if (status == STATUS_OK)
		status = may_change(n, how);
	if (status == STATUS_OK)
		status = not_running(n, running, o->force);
	if (status == STATUS_OK)
		status = open_input(file, signature, &to, &in);
	if (status == STATUS_OK)
		status = install_input(&in, n, how);
	close_input(&in);
	api_i2c_close();
	return status;
}

// With trusted keys and a floor, slot n is selected when the signature
// kept beside it gives it a version not below the floor, or as a
// person's decision (said on stdout). The launcher's own fallback to the
// other slot is its own, and not checked.
static int above_floor(int n, bool allow_downgrade)
{
	const int keys = trusted_key_count();
	char floor[META_TEXT_MAX], why[3 * META_TEXT_MAX];
	image_meta m;
	kept_signature k;

	if (keys <= 0 || !read_floor(floor))
		return keys == 0 ? STATUS_OK : STATUS_ERROR;
	if (!floor[0])
		return STATUS_OK;
	k = check_kept_signature(n, &m);
	if (k == KEPT_UNREADABLE) {
		error("cannot read %s's signature", slot_path(n));
		return STATUS_ERROR;
	}
	if (k == KEPT_MATCHES && m.version[0] && version_compare(m.version, floor) >= 0)
		return STATUS_OK;
	if (k == KEPT_MATCHES && m.version[0])
		snprintf(why, sizeof why, "version %s is older than this board's floor %s", m.version,
			 floor);
	else
		snprintf(why, sizeof why, "no signed version, and this board's floor is %s", floor);
	if (!allow_downgrade) {
		error("image %d: %s (--allow-downgrade selects it)", n, why);
		return STATUS_REFUSED;
	}
	printf("image %d: %s: selected as asked\n", n, why);
	return STATUS_OK;
}

int cmd_select(int n, const selection *how, bool allow_downgrade)
{
	image_check c;
	int status = STATUS_OK;

	api_i2c_init();
	if (how->trial)
		status = check_slot(n, &c);
	if (status == STATUS_OK)
		status = above_floor(n, allow_downgrade);
	if (status == STATUS_OK)
		status = may_change(n, how);
	if (status == STATUS_OK)
		status = select_now(n, how);
	api_i2c_close();
	return status;
}

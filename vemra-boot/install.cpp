#include "install.h"

#include "board_api.h"
#include "console.h"
#include "identity.h"
#include "image.h"
#include "input.h"
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

static const char USER_DIR[] = "/user";

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

// The slot read back as the launcher will read it: the image installed.
static bool slot_holds(int n, const image_check *in)
{
	image_check c;

	if (!check_file(slot_path(n), &c)) {
		error("%s: %s", slot_path(n), strerror(errno));
		return false;
	}
	if (c.state != IMAGE_VALID || c.header.crc != in->header.crc ||
	    c.header.length != in->header.length) {
		error("%s: %s after the write", slot_path(n), verdict(c.state));
		return false;
	}
	return true;
}

// Until the rename the slot keeps its old image; after it, the new one.
// A copy left behind by a process killed before the rename is never read
// by the launcher, and the next install of the same slot truncates it.
static int install_image(const input *file, int n)
{
	const image_check *in = &file->check;
	char temp[32];

	snprintf(temp, sizeof temp, "%s/.image%d.new", IMAGES_DIR, n);
	if (!make_images_dir() || !write_beside(temp, file->bytes, image_size(&in->header)))
		return STATUS_ERROR;
	if (rename(temp, slot_path(n)) < 0) {
		const int err = errno;

		unlink(temp);
		error("%s: %s", slot_path(n), strerror(err));
		return STATUS_ERROR;
	}
	if (!sync_dir(IMAGES_DIR)) {
		error("%s: %s", IMAGES_DIR, strerror(errno));
		return STATUS_ERROR;
	}
	if (!slot_holds(n, in))
		return STATUS_ERROR;
	printf("image %d installed: length %u, crc 0x%08x\n", n, (unsigned)in->header.length,
	       (unsigned)in->header.crc);
	return STATUS_OK;
}

// The signature checked, kept beside the slot for status and confirm (or
// what was there removed, with none): written after the slot, so that a
// power cut between them leaves a signature that status shows as not
// matching, never one that matches another image.
static bool keep_signature(int n, const input *in)
{
	char path[32];

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

// Only the image, length + 16 bytes, goes into the slot: bytes after it
// in FILE are not written, as the launcher would not read them.
// The floor follows a signed image installed without a trial; a trial's
// is raised when it is confirmed.
static int install_input(const input *in, int n, const selection *how)
{
	int status;

	api_i2c_init();
	status = may_change(n, how);
	if (status == STATUS_OK)
		status = install_image(in, n);
	if (status == STATUS_OK && !keep_signature(n, in))
		status = STATUS_ERROR;
	if (status == STATUS_OK && !how->trial && in->signature && in->meta.version[0] &&
	    !write_floor(in->meta.version))
		status = STATUS_ERROR;
	if (status == STATUS_OK)
		status = select_now(n, how);
	api_i2c_close();
	return status;
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
		bool allow_downgrade)
{
	destination to = { 0, USER_DIR, allow_downgrade };
	input in = {};
	int status = user_mounted() && user_room(&to.room) ? STATUS_OK : STATUS_ERROR;

	if (status == STATUS_OK)
		status = load_input(file, signature, &to, &in);
	if (status == STATUS_OK)
		status = install_input(&in, n, how);
	free_input(&in);
	return status;
}

int cmd_select(int n, const selection *how)
{
	image_check c;
	int status = STATUS_OK;

	api_i2c_init();
	if (how->trial)
		status = check_slot(n, &c);
	if (status == STATUS_OK)
		status = may_change(n, how);
	if (status == STATUS_OK)
		status = select_now(n, how);
	api_i2c_close();
	return status;
}

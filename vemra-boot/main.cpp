// vemra-boot: boot control on the board. Shows the boot choice, the image
// slots, the recovery image and the launcher's switches; selects the slot
// that boots next; installs an image into a slot; writes the recovery
// image. Runs as root on the board and reaches the VPD EEPROM and the
// flash through the board API; the slot files are plain files on /user.
// Images are checked by the launcher's own check, and the switches are
// read by the launcher's own reader.
//
// Every refusal or error is one line on stderr. The board layer prints its
// own lines (failures, the flash write's progress) on stdout, which is
// flushed before each of ours.
#include "board_api.h"
#include "console.h"
#include "env.h"
#include "image.h"
#include "input.h"
#include "switches.h"
#include "trial.h"
#include "uboot_env.h"
#include "vpd.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static const char HELP[] =
	"usage: vemra-boot status [-p]\n"
	"       vemra-boot select 1|2 [--trial [--boots N]]\n"
	"       vemra-boot install FILE 1|2 [--select | --trial [--boots N]] [--signature SIG]\n"
	"       vemra-boot recovery FILE [--signature SIG]\n"
	"       vemra-boot boot-check\n"
	"       vemra-boot confirm\n"
	"       vemra-boot set KEY VALUE\n"
	"       vemra-boot unset KEY\n"
	"       vemra-boot --help\n"
	"\n"
	"Boot control on the board: the launcher's boot choice in the VPD EEPROM,\n"
	"its image slots /user/images/image1 and image2, the recovery image on\n"
	"/dev/mtd-rescue, and the launcher's switches and trial boots in the\n"
	"U-Boot environment that /etc/fw_env.config places (one copy). Images\n"
	"are checked as the launcher checks them, switches read as it reads them.\n"
	"\n"
	"  status    show the selected image (VPD byte 0), the last booted one\n"
	"            (VPD byte 58; 4 is the recovery image), the state of both\n"
	"            slots and of the recovery image (valid, invalid-header,\n"
	"            checksum-failed, missing or unreadable), the launcher's\n"
	"            switches as it reads them, a pending trial and the last\n"
	"            rollback, and whether signatures are required. With -p: one\n"
	"            key=value a line. What cannot be read is shown as\n"
	"            unreadable, never as a default, and makes the exit status 2.\n"
	"  select    make slot 1 or 2 the one the launcher boots first: VPD\n"
	"            byte 0 is written and read back.\n"
	"  install   read FILE into memory, check it there and write it beside\n"
	"            slot 1 or 2; with --select or --trial, then select\n"
	"            the slot; then rename the copy over the slot and check the\n"
	"            slot. A power cut leaves the slot's old image or the new one,\n"
	"            whole. Until the rename nothing else changes: a copy that\n"
	"            fails (/user full, not mounted) or a selection that fails\n"
	"            leaves the slot as it was (and VPD byte 0: see The EEPROM).\n"
	"  --trial   select the slot for a trial of N boots (1 to 99, default\n"
	"            3); the slot selected before is the way back. Refused while\n"
	"            another trial is pending, or when the slot is the one\n"
	"            selected now.\n"
	"  --signature  the minisign signature of FILE (default FILE.minisig).\n"
	"            When /etc/vemra-boot/keys holds minisign public keys\n"
	"            (*.pub), install and recovery take only a FILE signed by\n"
	"            one of them (minisign -Sm FILE; the legacy form too): no\n"
	"            signature file, a malformed one, a key not trusted, a\n"
	"            signature or trusted comment that does not match is refused\n"
	"            (1) before anything is written. The bytes checked are the\n"
	"            bytes written. With no keys, signatures are not required.\n"
	"  recovery  check FILE, write it as the recovery image on the rescue\n"
	"            partition and read it back. A power cut during the write\n"
	"            leaves a recovery image that the launcher does not boot.\n"
	"  boot-check  run by init just before the launcher: counts a boot of\n"
	"            the trial pending; once its N boots are used up without a\n"
	"            confirm, selects the way back, ends the trial and says so in\n"
	"            one line. A trial whose slot no longer holds its image ends\n"
	"            without going back. Writes nothing when no trial is pending,\n"
	"            and never stops a boot: failures are one line on stderr,\n"
	"            and the exit status is 0.\n"
	"  confirm   run by the application once it is healthy: ends the trial.\n"
	"            Refused (1) when the image booted (VPD byte 58) is not the\n"
	"            one on trial. Nothing to do without a trial.\n"
	"  set, unset  write or remove one of the launcher's switches (gdb,\n"
	"            gdbserver, gdbport, shell, memchk, diagnostics), then read\n"
	"            the environment back through the launcher's reader. When\n"
	"            the launcher would not see it (beyond the 1280 bytes it\n"
	"            reads, or another variable's text holds the key first), the\n"
	"            environment is put back as it was and the exit status is 1.\n"
	"\n"
	"The environment: one whose checksum fails is never replaced (set,\n"
	"unset, confirm and trials are refused, boot-check leaves it alone).\n"
	"The EEPROM: a write that is not acknowledged is an error, and then\n"
	"nothing was written. A failed read cannot be told from a byte of 255:\n"
	"status shows 255 with that note, and a read-back of 255 is an error\n"
	"after which VPD byte 0 may hold its old value or the new one. A\n"
	"read-back of another byte than the one written is an error too, and\n"
	"the EEPROM holds what was read.\n"
	"\n"
	"A FILE that is not an image the launcher boots is refused before\n"
	"anything is written.\n"
	"\n"
	"Exit status: 0 done, 1 refused (not an image the launcher boots, not\n"
	"signed by a trusted key, too large for the rescue partition, a trial or\n"
	"a switch that cannot be, an environment whose checksum fails), 2 usage\n"
	"or I/O error.\n";

static const char USER_DIR[] = "/user";
static const char RESCUE_DEVICE[] = "/dev/mtd-rescue";
static const char ENV_DEVICE[] = "/dev/mtd-ubootenv";

// Images are read in pieces of this size, whatever their length.
static uint8_t piece[64 * 1024];

/* Images, checked by the launcher's check */

// What the launcher makes of an image: an invalid header sends it on to
// the next image, every other failure counts as a checksum failure.
static const char *verdict(image_state s)
{
	if (s == IMAGE_VALID)
		return "valid";
	return image_header_invalid(s) ? "invalid-header" : "checksum-failed";
}

// Checks the image in a file. False, with errno, when the file cannot be
// opened or read.
static bool check_file(const char *path, image_check *c)
{
	const int fd = open(path, O_RDONLY | O_CLOEXEC);
	image_source src;
	int err;

	*c = image_check{};
	if (fd < 0)
		return false;
	src = fd_source(fd);
	image_check_all(&src, c, piece, sizeof piece, NULL);
	err = c->error;
	close(fd);
	errno = err;
	return err == 0;
}

/* status */

// Beside the image states: a slot file that is not there, and what
// cannot be read at all.
enum { UNREADABLE = -1, MISSING = -2 };

struct image_status {
	int state; // image_state, MISSING or UNREADABLE
	image_header header;
};

struct board_status {
	int selected; // VPD byte 0, or UNREADABLE
	int booted;   // VPD byte 58, or UNREADABLE
	image_status slot[2];
	image_status rescue;
	bool switches_read;
	launch_settings_t switches;
	bool trial_read;
	const char *trial_why; // when not read
	trial_status trial;
	int keys; // trusted keys, or -1: unreadable
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

static void gather_status(board_status *b)
{
	bool flash;

	api_i2c_init();
	b->selected = read_vpd(VPD_SELECTED_IMAGE);
	b->booted = read_vpd(VPD_BOOTED_IMAGE);
	api_i2c_close();

	flash = api_flash_init() == 0;
	b->switches_read = flash && read_switches(&b->switches);
	// The trial's state is in the same environment: not looked for when
	// its partition cannot be read.
	b->trial_why = "unreadable";
	b->trial_read = b->switches_read && read_trial_status(&b->trial, &b->trial_why);
	slot_status(1, &b->slot[0]);
	slot_status(2, &b->slot[1]);
	rescue_status(flash, &b->rescue);
	b->keys = trusted_key_count();
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

static void print_image_line(const char *label, const image_status *s)
{
	char value[64];

	if (s->state == IMAGE_VALID)
		snprintf(value, sizeof value, "valid, length %u, crc 0x%08x",
			 (unsigned)s->header.length, (unsigned)s->header.crc);
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

static void print_trial(const board_status *b)
{
	const trial &t = b->trial.t;
	char value[80];

	if (!b->trial_read) {
		print_line("trial:", b->trial_why);
		return;
	}
	if (b->trial.pending) {
		snprintf(value, sizeof value, "image %d, %d of %d boots, way back image %d", t.slot,
			 t.used, t.boots, t.way_back);
		print_line("trial:", value);
	}
	if (b->trial.rolled_back) {
		snprintf(value, sizeof value, "image %d went back to image %d",
			 b->trial.rollback_slot, b->trial.rollback_to);
		print_line("rollback:", value);
	}
}

static void print_status(const board_status *b)
{
	// The launcher boots slot 1 for any value of byte 0 but 1 and 2.
	const bool selected_boots = b->selected == 1 || b->selected == 2;
	char value[48];

	print_vpd_line("selected:", b->selected, selected_boots ? "" : " (boots 1)");
	print_vpd_line("booted:", b->booted, b->booted == RECOVERY_IMAGE ? " (recovery)" : "");
	print_image_line("image1:", &b->slot[0]);
	print_image_line("image2:", &b->slot[1]);
	print_image_line("rescue:", &b->rescue);
	if (b->keys == 0)
		snprintf(value, sizeof value, "not required");
	else if (b->keys > 0)
		snprintf(value, sizeof value, "required, %d trusted key%s", b->keys,
			 b->keys == 1 ? "" : "s");
	else
		snprintf(value, sizeof value, "unreadable");
	print_line("signatures:", value);
	if (b->switches_read)
		print_switches(&b->switches);
	else
		print_line("switches:", "unreadable (the launcher then runs with all off)");
	if (b->switches_read)
		print_trial(b);
}

static void print_key_vpd(const char *key, int value)
{
	if (value == UNREADABLE)
		printf("%s=unreadable\n", key);
	else
		printf("%s=%d\n", key, value);
}

static void print_key_image(const char *key, const image_status *s)
{
	printf("%s=%s\n", key, state_word(s->state));
	if (s->state != IMAGE_VALID)
		return;
	printf("%s_length=%u\n", key, (unsigned)s->header.length);
	printf("%s_crc=0x%08x\n", key, (unsigned)s->header.crc);
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

static void print_status_keys(const board_status *b)
{
	print_key_vpd("selected", b->selected);
	print_key_vpd("booted", b->booted);
	print_key_image("image1", &b->slot[0]);
	print_key_image("image2", &b->slot[1]);
	print_key_image("rescue", &b->rescue);
	if (b->keys >= 0)
		printf("signature_keys=%d\n", b->keys);
	else
		printf("signature_keys=unreadable\n");
	if (!b->switches_read) {
		printf("switches=unreadable\n");
		return;
	}
	print_key_switches(&b->switches);
	if (!b->trial_read)
		printf("trial=unknown\n");
	if (b->trial.pending)
		printf("trial=%d\ntrial_boots=%d\ntrial_used=%d\ntrial_way_back=%d\n",
		       b->trial.t.slot, b->trial.t.boots, b->trial.t.used, b->trial.t.way_back);
	if (b->trial.rolled_back)
		printf("rollback=%d\nrollback_to=%d\n", b->trial.rollback_slot,
		       b->trial.rollback_to);
}

// Everything is printed, readable or not; each part that cannot be read
// is an I/O error, named at the end.
static int cmd_status(bool keys)
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
	if (b.keys < 0)
		status = STATUS_ERROR;
	return status;
}

/* select */

// How an install or a select makes its slot the one that boots: at once
// (--select) or for a trial of `trial` boots (--trial; 0: no trial).
struct selection {
	bool select;
	int trial;
};

// The image in slot n, checked as the launcher checks it.
static int check_slot(int n, image_check *c)
{
	if (!check_file(slot_path(n), c)) {
		error("%s: %s", slot_path(n), strerror(errno));
		return STATUS_ERROR;
	}
	if (c->state == IMAGE_VALID)
		return STATUS_OK;
	error("%s: %s", slot_path(n), verdict(c->state));
	return STATUS_REFUSED;
}

// A trial of the image that slot n holds now.
static int select_trial(int n, int boots)
{
	trial_plan plan;
	image_check c;
	int status = check_slot(n, &c);

	if (status == STATUS_OK)
		status = trial_prepare(n, c.header.crc, boots, &plan);
	if (status != STATUS_OK)
		return status;
	status = trial_begin(&plan);
	trial_release(&plan);
	return status;
}

static int cmd_select(int n, const selection *how)
{
	int status;

	api_i2c_init();
	status = how->trial ? select_trial(n, how->trial) : select_slot(n);
	api_i2c_close();
	if (status == STATUS_OK && how->trial)
		printf("selected image %d for a trial of %d boots\n", n, how->trial);
	else if (status == STATUS_OK)
		printf("selected image %d\n", n);
	return status;
}

/* install */

// Puts a directory's entries on disk; false with errno.
static bool sync_dir(const char *path)
{
	const int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	int err;

	if (fd < 0)
		return false;
	err = fsync(fd) == 0 ? 0 : errno;
	close(fd);
	errno = err;
	return err == 0;
}

// The slots live on the jffs2 filesystem mounted at /user. When it is not
// mounted, /user is a directory of the root filesystem: an image written
// there would be gone at the next boot, so the install is refused.
static bool user_mounted(void)
{
	struct stat user, root;

	if (stat(USER_DIR, &user) < 0 || stat("/", &root) < 0) {
		error("%s: %s", USER_DIR, strerror(errno));
		return false;
	}
	if (user.st_dev == root.st_dev) {
		error("%s is not mounted: an image written there would not survive a reboot",
		      USER_DIR);
		return false;
	}
	return true;
}

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

static bool write_all(int fd, const uint8_t *buf, uint32_t count)
{
	while (count > 0) {
		const ssize_t n = write(fd, buf, count);

		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0) {
			if (n == 0)
				errno = EIO;
			return false;
		}
		buf += n;
		count -= (uint32_t)n;
	}
	return true;
}

// The image beside slot n, on disk; removed with the reason said when it
// cannot be written whole.
static bool write_beside_slot(const char *temp, const uint8_t *image, uint32_t size)
{
	const int fd = open(temp, O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);

	if (fd < 0) {
		error("%s: %s", temp, strerror(errno));
		return false;
	}
	if (write_all(fd, image, size) && fsync(fd) == 0 && close(fd) == 0)
		return true;
	error("%s: %s", temp, strerror(errno));
	close(fd); // EBADF when it was closed already
	unlink(temp);
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

// The selection before the rename, so that a failed one leaves the slot
// as it was. Needs api_i2c_init() first.
static int select_before_rename(int n, const selection *how, trial_plan *plan)
{
	if (how->trial)
		return trial_begin(plan);
	return how->select ? select_slot(n) : STATUS_OK;
}

// Until the rename the slot keeps its old image; after it, the new one.
// A copy left behind by a process killed before the rename is never read
// by the launcher, and the next install of the same slot truncates it.
static int install_image(const input *file, int n, const selection *how, trial_plan *plan)
{
	const image_check *in = &file->check;
	char temp[32];

	snprintf(temp, sizeof temp, "%s/.image%d.new", IMAGES_DIR, n);
	if (!make_images_dir() || !write_beside_slot(temp, file->bytes, image_size(&in->header)))
		return STATUS_ERROR;
	if (select_before_rename(n, how, plan) != STATUS_OK) {
		unlink(temp);
		return STATUS_ERROR;
	}
	if (rename(temp, slot_path(n)) < 0) {
		const int err = errno;

		unlink(temp);
		if (how->trial)
			trial_undo(plan);
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
	if (how->trial)
		printf("selected image %d for a trial of %d boots\n", n, how->trial);
	else if (how->select)
		printf("selected image %d\n", n);
	return STATUS_OK;
}

// Only the image, length + 16 bytes, goes into the slot: bytes after it
// in FILE are not written, as the launcher would not read them. A trial
// that cannot be is refused before anything is written.
static int install_input(const input *in, int n, const selection *how)
{
	const bool vpd = how->select || how->trial;
	trial_plan plan;
	int status = STATUS_OK;

	if (!user_mounted())
		return STATUS_ERROR;
	if (vpd)
		api_i2c_init();
	if (how->trial)
		status = trial_prepare(n, in->check.header.crc, how->trial, &plan);
	if (status == STATUS_OK)
		status = install_image(in, n, how, &plan);
	if (how->trial)
		trial_release(&plan);
	if (vpd)
		api_i2c_close();
	return status;
}

static int cmd_install(const char *file, const char *signature, int n, const selection *how)
{
	input in;
	int status = load_input(file, signature, &in);

	if (status == STATUS_OK)
		status = install_input(&in, n, how);
	free_input(&in);
	return status;
}

/* recovery */

// The flash and the rescue partition are there, and the image fits it.
static int rescue_ready(const char *file, uint32_t size, uint32_t *partition)
{
	if (api_flash_init() != 0) {
		error("no flash (cannot read the flash geometry)");
		return STATUS_ERROR;
	}
	if (rescue_fd < 0) {
		error("%s: cannot open", RESCUE_DEVICE);
		return STATUS_ERROR;
	}
	if (!mtd_get_size(rescue_fd, partition)) {
		error("%s: cannot read its size", RESCUE_DEVICE);
		return STATUS_ERROR;
	}
	if (size > *partition) {
		error("%s: image of %u bytes does not fit the rescue partition (%u bytes)", file,
		      (unsigned)size, (unsigned)*partition);
		return STATUS_REFUSED;
	}
	return STATUS_OK;
}

// Why a write cut short (power lost, the process killed) never boots:
//
// 1. The erase of bytes 0 to 15 erases the whole sector that holds the
//    header first. From then on the magic reads 0xFFFFFFFF and the
//    launcher finds no recovery image ("Image not found... ").
// 2. The write then goes sector by sector from sector 0, each sector read,
//    erased and written back in 1024-byte pieces; the first piece carries
//    the header. Until that piece is on the flash there is no magic.
//    After it, the bytes not yet written hold erased flash (0xFF), a
//    partly programmed piece or the old image, so the JAMCRC over the
//    length + 12 bytes that the header covers does not match ("Image CRC
//    failed. Quitting") and the launcher reboots instead of handing over.
//    A cut image whose bytes differ from the new one passes the 32-bit
//    checksum only by chance, once in about 2^32.
//
// No order of writes through the board layer can do without the
// checksum: every write to sector 0 erases it whole and writes its first
// piece, the header, before the rest of the sector.
static int write_rescue(const uint8_t *image, uint32_t size)
{
	if (api_flash_erase(rescue_fd, 0, IMAGE_HEADER_SIZE) != 0 ||
	    api_flash_write(image, rescue_fd, 0, size) != 0) {
		error("%s: write failed", RESCUE_DEVICE);
		return STATUS_ERROR;
	}
	return STATUS_OK;
}

struct expected_bytes {
	const uint8_t *image;
	uint32_t size;
	uint32_t differs_at; // UINT32_MAX: no difference yet
};

// Notes the first byte read back that differs from the image written (or
// lies beyond it, when the length read back is larger).
static bool compare_piece(const image_sink *sink, uint32_t offset, const uint8_t *bytes,
			  uint32_t count)
{
	expected_bytes *e = (expected_bytes *)sink->ctx;

	for (uint32_t i = 0; i < count && e->differs_at == UINT32_MAX; i++)
		if (offset + i >= e->size || bytes[i] != e->image[offset + i])
			e->differs_at = offset + i;
	return true;
}

// Reads the image back from the flash, checks it and compares it with
// what was written.
static int verify_rescue(const uint8_t *image, uint32_t size, uint32_t partition)
{
	expected_bytes e = { image, size, UINT32_MAX };
	const image_sink sink = { compare_piece, &e };
	const image_source src = flash_source(rescue_fd, partition);
	image_check c;

	image_check_all(&src, &c, piece, sizeof piece, &sink);
	if (e.differs_at != UINT32_MAX) {
		error("%s: read back differs at byte %u", RESCUE_DEVICE, (unsigned)e.differs_at);
		return STATUS_ERROR;
	}
	if (c.state != IMAGE_VALID) {
		error("%s: %s after the write", RESCUE_DEVICE, verdict(c.state));
		return STATUS_ERROR;
	}
	return STATUS_OK;
}

static int cmd_recovery(const char *file, const char *signature)
{
	input in;
	uint32_t partition, size;
	int status = load_input(file, signature, &in);

	size = image_size(&in.check.header);
	if (status == STATUS_OK)
		status = rescue_ready(file, size, &partition);
	if (status == STATUS_OK)
		status = write_rescue(in.bytes, size);
	if (status == STATUS_OK)
		status = verify_rescue(in.bytes, size, partition);
	if (status == STATUS_OK)
		printf("recovery image written: length %u, crc 0x%08x\n",
		       (unsigned)in.check.header.length, (unsigned)in.check.header.crc);
	free_input(&in);
	return status;
}

/* Command line */

static bool is_option(const char *arg)
{
	return arg[0] == '-' && arg[1] != '\0';
}

// Exactly "1" or "2".
static bool parse_slot(const char *arg, int *n)
{
	if (strcmp(arg, "1") != 0 && strcmp(arg, "2") != 0) {
		usage_error("slot must be 1 or 2, not '%s'", arg);
		return false;
	}
	*n = arg[0] - '0';
	return true;
}

static int run_status(int argc, char **argv)
{
	bool keys = false;

	for (int i = 0; i < argc; i++) {
		if (strcmp(argv[i], "-p") != 0 || keys)
			return usage_error("status: unexpected argument '%s'", argv[i]);
		keys = true;
	}
	return cmd_status(keys);
}

// A trial's boots unless --boots says otherwise, and the most it takes.
static const int TRIAL_BOOTS = 3;
static const int TRIAL_BOOTS_MAX = 99;

// The arguments of select, install and recovery: their positionals
// (a slot; FILE and a slot; FILE) and the options --select, --trial,
// --boots N and --signature SIG.
struct command_args {
	const char *pos[2];
	int count;
	selection how;
	const char *signature; // --signature SIG
};

static bool parse_boots(const char *arg, int *boots)
{
	char *end;
	const long n = strtol(arg, &end, 10);

	if (*arg < '0' || *arg > '9' || *end || n < 1 || n > TRIAL_BOOTS_MAX)
		return false;
	*boots = (int)n;
	return true;
}

static int parse_option(const char *cmd, int argc, char **argv, int *i, command_args *a,
			bool *trial, int *boots)
{
	const char *arg = argv[*i];
	const bool install = strcmp(cmd, "install") == 0, recovery = strcmp(cmd, "recovery") == 0;

	if (strcmp(arg, "--select") == 0 && install)
		a->how.select = true;
	else if (strcmp(arg, "--trial") == 0 && !recovery)
		*trial = true;
	else if (strcmp(arg, "--signature") == 0 && (install || recovery)) {
		if (*i + 1 >= argc)
			return usage_error("%s: --signature needs a file", cmd);
		a->signature = argv[++*i];
	} else if (strcmp(arg, "--boots") != 0 || recovery)
		return usage_error("%s: unknown option '%s'", cmd, arg);
	else if (*i + 1 >= argc || !parse_boots(argv[++*i], boots))
		return usage_error("%s: --boots takes a number of boots, 1 to %d", cmd,
				   TRIAL_BOOTS_MAX);
	return STATUS_OK;
}

// max: the positionals cmd takes; one more is refused.
static int parse_args(const char *cmd, int argc, char **argv, int max, command_args *a)
{
	int boots = 0;
	bool trial = false;

	*a = command_args{};
	for (int i = 0; i < argc; i++) {
		if (is_option(argv[i])) {
			if (parse_option(cmd, argc, argv, &i, a, &trial, &boots) != STATUS_OK)
				return STATUS_ERROR;
		} else if (a->count < max) {
			a->pos[a->count++] = argv[i];
		} else {
			return usage_error("%s: unexpected argument '%s'", cmd, argv[i]);
		}
	}
	if (boots && !trial)
		return usage_error("%s: --boots goes with --trial", cmd);
	if (trial && a->how.select)
		return usage_error("%s: --select or --trial, not both", cmd);
	a->how.trial = trial ? (boots ? boots : TRIAL_BOOTS) : 0;
	return STATUS_OK;
}

static int run_select(int argc, char **argv)
{
	command_args a;
	int n;

	if (parse_args("select", argc, argv, 1, &a) != STATUS_OK)
		return STATUS_ERROR;
	if (a.count != 1)
		return usage_error("select: expected one slot, 1 or 2");
	if (!parse_slot(a.pos[0], &n))
		return STATUS_ERROR;
	return cmd_select(n, &a.how);
}

static int run_install(int argc, char **argv)
{
	command_args a;
	int n;

	if (parse_args("install", argc, argv, 2, &a) != STATUS_OK)
		return STATUS_ERROR;
	if (a.count < 2)
		return usage_error("install: expected FILE and a slot, 1 or 2");
	if (!parse_slot(a.pos[1], &n))
		return STATUS_ERROR;
	return cmd_install(a.pos[0], a.signature, n, &a.how);
}

// Commands with fixed arguments: boot-check, confirm, set, unset.
static int run_fixed(const char *cmd, int argc, char **argv)
{
	const int wanted = strcmp(cmd, "set") == 0 ? 2 : strcmp(cmd, "unset") == 0 ? 1 : 0;

	if (argc != wanted)
		return usage_error("%s: expected %s", cmd,
				   wanted == 2 ? "KEY VALUE" : wanted == 1 ? "KEY" : "no argument");
	if (wanted == 2)
		return cmd_set(argv[0], argv[1]);
	if (wanted == 1)
		return cmd_unset(argv[0]);
	return strcmp(cmd, "confirm") == 0 ? cmd_confirm() : cmd_boot_check();
}

static int run_recovery(int argc, char **argv)
{
	command_args a;

	if (parse_args("recovery", argc, argv, 1, &a) != STATUS_OK)
		return STATUS_ERROR;
	if (a.count != 1)
		return usage_error("recovery: expected one FILE");
	return cmd_recovery(a.pos[0], a.signature);
}

int main(int argc, char **argv)
{
	const char *cmd;

	if (argc < 2)
		return usage_error("no command given");
	cmd = argv[1];
	argc -= 2;
	argv += 2;
	if (strcmp(cmd, "--help") == 0) {
		if (argc > 0)
			return usage_error("--help: unexpected argument '%s'", argv[0]);
		fputs(HELP, stdout);
		return fflush(stdout) == 0 ? STATUS_OK : STATUS_ERROR;
	}
	if (strcmp(cmd, "status") == 0)
		return run_status(argc, argv);
	if (strcmp(cmd, "select") == 0)
		return run_select(argc, argv);
	if (strcmp(cmd, "install") == 0)
		return run_install(argc, argv);
	if (strcmp(cmd, "recovery") == 0)
		return run_recovery(argc, argv);
	if (strcmp(cmd, "boot-check") == 0 || strcmp(cmd, "confirm") == 0 ||
	    strcmp(cmd, "set") == 0 || strcmp(cmd, "unset") == 0)
		return run_fixed(cmd, argc, argv);
	if (is_option(cmd))
		return usage_error("unknown option '%s'", cmd);
	return usage_error("unknown command '%s'", cmd);
}

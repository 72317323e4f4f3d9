// vemra-boot: boot control on the board. Shows the boot choice, the image
// slots, the recovery image and the launcher's switches; selects the slot
// that boots next; installs an image into a slot; writes the recovery
// image. Runs as root on the board and reaches the VPD EEPROM and the
// flash through the board API; the slot files are plain files on /user.
//
// Every refusal or error is one line on stderr, made before anything is
// written. The board layer prints its own lines (failures, the flash
// write's progress) on stdout, which is flushed before each of ours.
#include "board_api.h"
#include "crc.h"
#include "image.h"
#include "settings.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Exit status: 1 only ever means "refused": not an image the launcher
// boots, or one that does not fit.
enum { STATUS_OK = 0, STATUS_REFUSED = 1, STATUS_ERROR = 2 };

static const char USAGE_LINE[] =
	"usage: vemra-boot status [-p] | select 1|2 | install FILE 1|2 [--select] | recovery FILE\n";

static const char HELP[] =
	"usage: vemra-boot status [-p]\n"
	"       vemra-boot select 1|2\n"
	"       vemra-boot install FILE 1|2 [--select]\n"
	"       vemra-boot recovery FILE\n"
	"       vemra-boot --help\n"
	"\n"
	"Boot control on the board: the launcher's boot choice in the VPD EEPROM,\n"
	"its image slots /user/images/image1 and image2, and the recovery image\n"
	"on /dev/mtd-rescue.\n"
	"\n"
	"  status    show the selected image (VPD byte 0), the last booted one\n"
	"            (VPD byte 58; 4 is the recovery image), the state of both\n"
	"            slots and of the recovery image (valid, invalid-header,\n"
	"            checksum-failed or missing) and the launcher's switches\n"
	"            from the U-Boot environment. With -p: one key=value a line.\n"
	"  select    make slot 1 or 2 the one the launcher boots first.\n"
	"  install   check FILE as the launcher does and write it into slot 1\n"
	"            or 2, whole or not at all, then check the slot; with\n"
	"            --select, select the slot too.\n"
	"  recovery  check FILE, write it as the recovery image on the rescue\n"
	"            partition, read it back and check it.\n"
	"\n"
	"A FILE that is not an image the launcher boots is refused before\n"
	"anything is written.\n"
	"\n"
	"Exit status: 0 done, 1 refused (not an image the launcher boots, or too\n"
	"large for the rescue partition), 2 usage or I/O error.\n";

static const char USER_DIR[] = "/user";
static const char IMAGES_DIR[] = "/user/images";
static const char RESCUE_DEVICE[] = "/dev/mtd-rescue";

// The image number of the recovery image in VPD byte 58.
static const int RECOVERY_IMAGE = 4;

/* Console */

static void report(const char *fmt, va_list ap)
{
	fflush(stdout);
	fputs("vemra-boot: ", stderr);
	vfprintf(stderr, fmt, ap);
	fputc('\n', stderr);
}

static void __attribute__((format(printf, 1, 2))) error(const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	report(fmt, ap);
	va_end(ap);
}

static int __attribute__((format(printf, 1, 2))) usage_error(const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	report(fmt, ap);
	va_end(ap);
	fputs(USAGE_LINE, stderr);
	return STATUS_ERROR;
}

/* Image container, checked as the launcher checks it */

enum image_state {
	IMAGE_VALID,
	IMAGE_INVALID_HEADER,
	IMAGE_CHECKSUM_FAILED,
	IMAGE_MISSING, // absent, or the file or device cannot be read
};

static const char *state_word(image_state s)
{
	switch (s) {
	case IMAGE_VALID:
		return "valid";
	case IMAGE_INVALID_HEADER:
		return "invalid-header";
	case IMAGE_CHECKSUM_FAILED:
		return "checksum-failed";
	case IMAGE_MISSING:
		break;
	}
	return "missing";
}

// An image as read: its verdict, its header (from the magic on), and the
// whole image of length + 16 bytes when it is valid.
struct image_read {
	image_state state;
	int error; // errno of a failed file open or read (IMAGE_MISSING)
	image_header header;
	uint8_t *image;
};

// False when length + 16 does not fit in 32 bits: no such image can be
// held, and it counts as failing its checksum, as in the launcher.
static bool size_fits(const image_header *h)
{
	return h->length <= UINT32_MAX - IMAGE_HEADER_SIZE;
}

static uint32_t image_size(const image_header *h)
{
	return h->length + (uint32_t)IMAGE_HEADER_SIZE;
}

static bool image_intact(const uint8_t *image, const image_header *h)
{
	const uint32_t covered = h->length + (uint32_t)(IMAGE_HEADER_SIZE - IMAGE_CRC_START);

	return gen_crc(image + IMAGE_CRC_START, covered, 0xFFFFFFFF) == h->crc;
}

// Reads up to count bytes from the start of the file; *got is less than
// count only at the end of the file. False, with errno, on a read error.
static bool read_start(int fd, uint8_t *buf, uint32_t count, uint32_t *got)
{
	uint32_t done = 0;

	while (done < count) {
		const ssize_t n = pread(fd, buf + done, count - done, (off_t)done);

		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return false;
		if (n == 0)
			break;
		done += (uint32_t)n;
	}
	*got = done;
	return true;
}

// Decodes the 16 header bytes into r->header; IMAGE_VALID when the magic
// is there and length + 16 bytes can be held, so that the whole image is
// to be read next.
static image_state check_header(const uint8_t *raw, image_read *r)
{
	r->header = decode_image_header(raw);
	if (r->header.magic != IMAGE_MAGIC)
		return IMAGE_INVALID_HEADER;
	return size_fits(&r->header) ? IMAGE_VALID : IMAGE_CHECKSUM_FAILED;
}

// The header first; only with the magic in place the whole image, header
// included, into one zeroed buffer.
static image_state check_file(int fd, image_read *r)
{
	uint8_t raw[IMAGE_HEADER_SIZE];
	struct stat st;
	uint32_t got, size;
	image_state state;
	uint8_t *buf;

	if (!read_start(fd, raw, sizeof raw, &got)) {
		r->error = errno;
		return IMAGE_MISSING;
	}
	if (got < sizeof raw)
		return IMAGE_INVALID_HEADER;
	state = check_header(raw, r);
	if (state != IMAGE_VALID)
		return state;
	size = image_size(&r->header);
	// A file too short for its image fails before a buffer of the size
	// its header claims is asked for.
	if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (uint64_t)st.st_size < size)
		return IMAGE_CHECKSUM_FAILED;
	buf = (uint8_t *)calloc(1, size);
	if (!buf)
		return IMAGE_CHECKSUM_FAILED;
	if (!read_start(fd, buf, size, &got)) {
		r->error = errno;
		free(buf);
		return IMAGE_MISSING;
	}
	if (got < size || !image_intact(buf, &r->header)) {
		free(buf);
		return IMAGE_CHECKSUM_FAILED;
	}
	r->image = buf;
	return IMAGE_VALID;
}

static void read_file_image(const char *path, image_read *r)
{
	const int fd = open(path, O_RDONLY | O_CLOEXEC);

	*r = image_read{};
	if (fd < 0) {
		r->error = errno;
		r->state = IMAGE_MISSING;
		return;
	}
	r->state = check_file(fd, r);
	close(fd);
}

// The recovery image at offset 0 of the rescue partition, read as the
// launcher reads it (api_flash_init() first).
static image_state check_rescue(image_read *r)
{
	uint8_t raw[IMAGE_HEADER_SIZE] = {};
	uint32_t partition, size;
	image_state state;
	uint8_t *buf;

	if (rescue_fd < 0 || api_flash_read(raw, rescue_fd, 0, sizeof raw) != 0)
		return IMAGE_MISSING;
	state = check_header(raw, r);
	if (state != IMAGE_VALID)
		return state;
	size = image_size(&r->header);
	// An image that would run past the end of the partition cannot be
	// whole. (Without the partition's size the read decides.)
	if (mtd_get_size(rescue_fd, &partition) && size > partition)
		return IMAGE_CHECKSUM_FAILED;
	buf = (uint8_t *)calloc(1, size);
	if (!buf)
		return IMAGE_CHECKSUM_FAILED;
	if (api_flash_read(buf, rescue_fd, 0, size) != 0) {
		free(buf);
		return IMAGE_MISSING;
	}
	if (!image_intact(buf, &r->header)) {
		free(buf);
		return IMAGE_CHECKSUM_FAILED;
	}
	r->image = buf;
	return IMAGE_VALID;
}

static void read_rescue_image(image_read *r)
{
	*r = image_read{};
	r->state = check_rescue(r);
}

// Reads and checks an image FILE given on the command line; refuses it
// (1) or names the read error (2), else STATUS_OK with r->image to free.
static int read_input(const char *file, image_read *r)
{
	read_file_image(file, r);
	switch (r->state) {
	case IMAGE_VALID:
		return STATUS_OK;
	case IMAGE_INVALID_HEADER:
		error("%s: invalid header", file);
		return STATUS_REFUSED;
	case IMAGE_CHECKSUM_FAILED:
		error("%s: checksum failed", file);
		return STATUS_REFUSED;
	case IMAGE_MISSING:
		break;
	}
	error("%s: %s", file, strerror(r->error));
	return STATUS_ERROR;
}

static void slot_path(char *out, size_t size, int n)
{
	snprintf(out, size, "%s/image%d", IMAGES_DIR, n);
}

/* VPD */

// A VPD byte, or -1 when the EEPROM could not be addressed. Needs
// api_i2c_init() first.
static int read_vpd(uint16_t offset)
{
	uint8_t byte = 0xFF;

	return api_eeprom_read(&byte, offset, 1) < 0 ? -1 : byte;
}

// After a write the EEPROM is busy with its internal write cycle (at most
// 5 ms for the usual serial EEPROMs) and does not answer its address; a
// read at once would deliver 0xFF from the refused transfer. The board
// layer does not wait, so the read-back does.
static void wait_eeprom_write(void)
{
	struct timespec t = { 0, 10 * 1000 * 1000 };

	while (nanosleep(&t, &t) < 0 && errno == EINTR)
		;
}

// VPD byte 0 = n, read back. Needs api_i2c_init() first.
static int select_slot(int n)
{
	int back;

	if (api_set_image((uint8_t)n) < 0) {
		error("cannot write VPD byte 0");
		return STATUS_ERROR;
	}
	wait_eeprom_write();
	back = read_vpd(VPD_SELECTED_IMAGE);
	if (back < 0) {
		error("cannot read VPD byte 0 back");
		return STATUS_ERROR;
	}
	if (back != n) {
		error("VPD byte 0 reads back %d, not %d", back, n);
		return STATUS_ERROR;
	}
	printf("selected image %d\n", n);
	return STATUS_OK;
}

/* status */

struct board_status {
	int selected; // VPD byte 0, or -1: unreadable
	int booted;   // VPD byte 58, or -1: unreadable
	image_read slot[2];
	image_read rescue;
};

static void gather_status(board_status *b)
{
	char path[32];

	api_i2c_init();
	b->selected = read_vpd(VPD_SELECTED_IMAGE);
	b->booted = read_vpd(VPD_BOOTED_IMAGE);
	api_i2c_close();

	api_flash_init();
	parse_uboot_env();
	for (int n = 1; n <= 2; n++) {
		slot_path(path, sizeof path, n);
		read_file_image(path, &b->slot[n - 1]);
	}
	read_rescue_image(&b->rescue);
}

static void release_status(board_status *b)
{
	free(b->slot[0].image);
	free(b->slot[1].image);
	free(b->rescue.image);
}

static void format_vpd(char *out, size_t size, int value, const char *note)
{
	if (value < 0)
		snprintf(out, size, "unreadable");
	else
		snprintf(out, size, "%d%s", value, note);
}

static void format_ipv4(char *out, size_t size, uint32_t a)
{
	snprintf(out, size, "%u.%u.%u.%u", (unsigned)(a >> 24), (unsigned)(a >> 16 & 0xFF),
		 (unsigned)(a >> 8 & 0xFF), (unsigned)(a & 0xFF));
}

static void print_line(const char *label, const char *value)
{
	printf("%-15s%s\n", label, value);
}

static void print_image_line(const char *label, const image_read *r)
{
	char value[64];

	if (r->state == IMAGE_VALID)
		snprintf(value, sizeof value, "valid, length %u, crc 0x%08x",
			 (unsigned)r->header.length, (unsigned)r->header.crc);
	else
		snprintf(value, sizeof value, "%s", state_word(r->state));
	print_line(label, value);
}

static void print_status(const board_status *b)
{
	const launch_settings_t *s = &launch_settings;
	const bool selected_boots = b->selected == 1 || b->selected == 2;
	char value[64], address[16];

	// The launcher boots slot 1 for any value of byte 0 but 1 and 2.
	format_vpd(value, sizeof value, b->selected, selected_boots ? "" : " (boots 1)");
	print_line("selected:", value);
	format_vpd(value, sizeof value, b->booted,
		   b->booted == RECOVERY_IMAGE ? " (recovery)" : "");
	print_line("booted:", value);
	print_image_line("image1:", &b->slot[0]);
	print_image_line("image2:", &b->slot[1]);
	print_image_line("rescue:", &b->rescue);
	print_line("gdb:", s->gdb_enable ? "on" : "off");
	format_ipv4(address, sizeof address, s->gdbserver);
	snprintf(value, sizeof value, "%s:%d", address, (int)s->gdbport);
	print_line("gdbserver:", value);
	print_line("shell:", s->shell_enable ? "on" : "off");
	print_line("memchk:", s->memchk_enable ? "on" : "off");
	print_line("diagnostics:", s->rescue_enable ? "rescue" : "normal");
}

static void print_key_vpd(const char *key, int value)
{
	if (value < 0)
		printf("%s=unreadable\n", key);
	else
		printf("%s=%d\n", key, value);
}

static void print_key_image(const char *key, const image_read *r)
{
	printf("%s=%s\n", key, state_word(r->state));
	if (r->state != IMAGE_VALID)
		return;
	printf("%s_length=%u\n", key, (unsigned)r->header.length);
	printf("%s_crc=0x%08x\n", key, (unsigned)r->header.crc);
}

static void print_status_keys(const board_status *b)
{
	const launch_settings_t *s = &launch_settings;
	char address[16];

	print_key_vpd("selected", b->selected);
	print_key_vpd("booted", b->booted);
	print_key_image("image1", &b->slot[0]);
	print_key_image("image2", &b->slot[1]);
	print_key_image("rescue", &b->rescue);
	format_ipv4(address, sizeof address, s->gdbserver);
	printf("gdb=%d\n", s->gdb_enable ? 1 : 0);
	printf("gdbserver=%s\n", address);
	printf("gdbport=%d\n", (int)s->gdbport);
	printf("shell=%d\n", s->shell_enable ? 1 : 0);
	printf("memchk=%d\n", s->memchk_enable ? 1 : 0);
	printf("rescue_mode=%d\n", s->rescue_enable ? 1 : 0);
}

// Everything is printed, readable or not; an unreadable VPD makes it an
// I/O error at the end.
static int cmd_status(bool keys)
{
	board_status b;

	gather_status(&b);
	if (keys)
		print_status_keys(&b);
	else
		print_status(&b);
	release_status(&b);
	if (b.selected < 0 || b.booted < 0) {
		error("cannot read the VPD EEPROM");
		return STATUS_ERROR;
	}
	return STATUS_OK;
}

/* select */

static int cmd_select(int n)
{
	int status;

	api_i2c_init();
	status = select_slot(n);
	api_i2c_close();
	return status;
}

/* install */

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

static bool fail_temp(const char *temp, int fd)
{
	const int err = errno;

	if (fd >= 0)
		close(fd);
	unlink(temp);
	error("%s: %s", temp, strerror(err));
	return false;
}

// Writes the image into slot n whole or not at all: a temporary file in
// the same directory, on disk before it is renamed over the slot file, then
// the directory. Until the rename the slot keeps its old image; after it,
// the new one. A temporary file left behind by a process killed before the
// rename is never read by the launcher, and the next install of the same
// slot truncates it.
static bool write_slot(int n, const uint8_t *image, uint32_t size)
{
	char path[32], temp[32];
	int fd;

	slot_path(path, sizeof path, n);
	snprintf(temp, sizeof temp, "%s/.image%d.new", IMAGES_DIR, n);
	if (!make_images_dir())
		return false;
	fd = open(temp, O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
	if (fd < 0) {
		error("%s: %s", temp, strerror(errno));
		return false;
	}
	if (!write_all(fd, image, size) || fsync(fd) < 0)
		return fail_temp(temp, fd);
	if (close(fd) < 0)
		return fail_temp(temp, -1);
	if (rename(temp, path) < 0) {
		const int err = errno;

		unlink(temp);
		error("%s: %s", path, strerror(err));
		return false;
	}
	if (!sync_dir(IMAGES_DIR)) {
		error("%s: %s", IMAGES_DIR, strerror(errno));
		return false;
	}
	return true;
}

// The slot read back as the launcher will read it.
static bool slot_valid(int n)
{
	char path[32];
	image_read r;

	slot_path(path, sizeof path, n);
	read_file_image(path, &r);
	free(r.image);
	if (r.state != IMAGE_VALID) {
		error("%s: %s after the write", path, state_word(r.state));
		return false;
	}
	return true;
}

static int install_image(const image_read *in, int n, bool select)
{
	// With --select the EEPROM must answer before the slot is written, so
	// that a missing bus or EEPROM does not leave half the job done.
	if (select && read_vpd(VPD_SELECTED_IMAGE) < 0) {
		error("cannot read VPD byte 0");
		return STATUS_ERROR;
	}
	if (!write_slot(n, in->image, image_size(&in->header)) || !slot_valid(n))
		return STATUS_ERROR;
	printf("image %d installed: length %u, crc 0x%08x\n", n, (unsigned)in->header.length,
	       (unsigned)in->header.crc);
	return select ? select_slot(n) : STATUS_OK;
}

// Only the image, length + 16 bytes, goes into the slot: bytes after it
// in FILE are not read, as the launcher would not read them.
static int cmd_install(const char *file, int n, bool select)
{
	image_read in;
	int status = read_input(file, &in);

	if (status != STATUS_OK)
		return status;
	if (!user_mounted()) {
		free(in.image);
		return STATUS_ERROR;
	}
	if (select)
		api_i2c_init();
	status = install_image(&in, n, select);
	if (select)
		api_i2c_close();
	free(in.image);
	return status;
}

/* recovery */

// The flash and the rescue partition are there, and the image fits it.
static int rescue_ready(const char *file, uint32_t size)
{
	uint32_t partition;

	if (api_flash_init() != 0) {
		error("no flash (cannot read the flash geometry)");
		return STATUS_ERROR;
	}
	if (rescue_fd < 0) {
		error("%s: cannot open", RESCUE_DEVICE);
		return STATUS_ERROR;
	}
	if (!mtd_get_size(rescue_fd, &partition)) {
		error("%s: cannot read its size", RESCUE_DEVICE);
		return STATUS_ERROR;
	}
	if (size > partition) {
		error("%s: image of %u bytes does not fit the rescue partition (%u bytes)", file,
		      (unsigned)size, (unsigned)partition);
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

static uint32_t first_difference(const uint8_t *a, const uint8_t *b, uint32_t size)
{
	uint32_t i = 0;

	while (i < size && a[i] == b[i])
		i++;
	return i;
}

// The image as the flash holds it after the write: the same bytes as the
// image written, which was checked before the write.
static int check_written(const uint8_t *back, const uint8_t *image, uint32_t size)
{
	const uint32_t at = first_difference(back, image, size);

	if (at < size) {
		error("%s: read back differs at byte %u", RESCUE_DEVICE, (unsigned)at);
		return STATUS_ERROR;
	}
	return STATUS_OK;
}

// Reads the whole image back from the flash and checks it.
static int verify_rescue(const uint8_t *image, uint32_t size)
{
	uint8_t *back = (uint8_t *)calloc(1, size);
	int status;

	if (!back) {
		error("%s: no memory to read the image back", RESCUE_DEVICE);
		return STATUS_ERROR;
	}
	if (api_flash_read(back, rescue_fd, 0, size) != 0) {
		error("%s: read back failed", RESCUE_DEVICE);
		status = STATUS_ERROR;
	} else {
		status = check_written(back, image, size);
	}
	free(back);
	return status;
}

static int cmd_recovery(const char *file)
{
	image_read in;
	int status = read_input(file, &in);
	uint32_t size;

	if (status != STATUS_OK)
		return status;
	size = image_size(&in.header);
	status = rescue_ready(file, size);
	if (status == STATUS_OK)
		status = write_rescue(in.image, size);
	if (status == STATUS_OK)
		status = verify_rescue(in.image, size);
	if (status == STATUS_OK)
		printf("recovery image written: length %u, crc 0x%08x\n",
		       (unsigned)in.header.length, (unsigned)in.header.crc);
	free(in.image);
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

static int run_select(int argc, char **argv)
{
	int n;

	if (argc != 1)
		return usage_error("select: expected one slot, 1 or 2");
	if (!parse_slot(argv[0], &n))
		return STATUS_ERROR;
	return cmd_select(n);
}

static int run_install(int argc, char **argv)
{
	const char *args[2];
	int count = 0, n;
	bool select = false;

	for (int i = 0; i < argc; i++) {
		if (strcmp(argv[i], "--select") == 0)
			select = true;
		else if (is_option(argv[i]))
			return usage_error("install: unknown option '%s'", argv[i]);
		else if (count < 2)
			args[count++] = argv[i];
		else
			return usage_error("install: unexpected argument '%s'", argv[i]);
	}
	if (count < 2)
		return usage_error("install: expected FILE and a slot, 1 or 2");
	if (!parse_slot(args[1], &n))
		return STATUS_ERROR;
	return cmd_install(args[0], n, select);
}

static int run_recovery(int argc, char **argv)
{
	if (argc == 1 && is_option(argv[0]))
		return usage_error("recovery: unknown option '%s'", argv[0]);
	if (argc != 1)
		return usage_error("recovery: expected one FILE");
	return cmd_recovery(argv[0]);
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
	if (is_option(cmd))
		return usage_error("unknown option '%s'", cmd);
	return usage_error("unknown command '%s'", cmd);
}

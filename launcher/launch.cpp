// SPDX-License-Identifier: MIT
// The launcher: one pass from start-up to the hand-over to the application
// or to a reboot. It picks an image slot from the VPD, checks the image
// container, stages its payload in /tmp, unpacks it and execs the
// application; it falls back to the other slot, then to the recovery image
// on the rescue partition, and reboots the board at every dead end.
//
// Progress goes to standard output, failures to standard error. Both are
// flushed before every system(), exec and exit, so that nothing written
// is lost with the process image or printed twice by a child.
#include "launch.h"

#include "board_api.h"
#include "image.h"
#include "settings.h"
#include "uboot_env.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

uint8_t tried_alt_image;
char stringbuff[256];

static const char STAGING_ARCHIVE[] = "/tmp/vemraimage.tar.gz";
static const char INSTALL_COPY[] = "/tmp/image";
static const char MOUNT_USER[] = "/bin/mount -o sync -t jffs2 " BOARD_MTD_USER " " BOARD_USER_DIR;
static const char MAKE_IMAGES_DIR[] = "mkdir " BOARD_IMAGES_DIR;
static const char ERASE_USER[] = "flash_eraseall " BOARD_MTD_USER_CHAR;
static const char INTERACTIVE_SHELL[] = "/bin/sh\n";

// The application's program as the unpack puts it into /tmp, and after
// it is moved to /tmp itself (board_config.h).
#define UNPACKED "/tmp/" BOARD_APP_PROGRAM
static const char MOVE_APPLICATION[] = "mv " UNPACKED " /tmp";
static const char APPLICATION[] = "/tmp/" BOARD_APP_NAME;
static const char MONITOR[] = BOARD_APP_MONITOR;
static const char GDBSERVER[] = BOARD_APP_GDBSERVER;
static const char DUMA_PRELOAD[] = "LD_PRELOAD=" BOARD_APP_DUMA;

/* Console and platform */

static void flush_console(void)
{
	fflush(stdout);
	fflush(stderr);
}

static void error(const char *text)
{
	fputs(text, stderr);
}

// Writes a prompt and makes sure it is on the console before the read.
static void prompt(const char *text)
{
	fputs(text, stdout);
	flush_console();
}

// Reads one answer line of at most size - 1 characters (the rest of a
// longer line stays unread). Returns its first character, or EOF at end of
// input or on a read error.
static int read_answer(char *line, int size)
{
	if (!fgets(line, size, stdin))
		return EOF;
	return (unsigned char)line[0];
}

// Runs a shell command line and waits for it; only a negative result
// (no shell could be run) means anything to the callers.
static int run_command(const char *line)
{
	flush_console();
	return system(line); // NOLINT(cert-env33-c): the board's commands are shell lines
}

static void pause_seconds(unsigned int seconds)
{
	while (seconds > 0)
		seconds = sleep(seconds);
}

void board_reset(void)
{
	pause_seconds(10);
	if (run_command("reboot") < 0)
		error("System reboot failed, please power-cycle.\n");
	flush_console();
	exit(0);
}

/* Image container */

// One zeroed buffer for a whole container of `length` payload bytes, or
// NULL when the memory cannot be had. Callers treat NULL as a checksum
// failure: the image cannot be verified, and that is what a checksum
// failure stands for. Zeroing keeps a short read from feeding
// uninitialised bytes to the checksum.
static uint8_t *image_buffer(const image_header *h)
{
	return (uint8_t *)calloc(1, image_size(h));
}

// After a good header: the whole verified container in one buffer, read
// in one request; NULL when its length does not fit, it cannot be held,
// it ends early, a read fails or the checksum does not match.
static uint8_t *read_image(const image_source *src, image_check *c)
{
	uint8_t *image;

	if (c->state != IMAGE_VALID)
		return NULL;
	image = image_buffer(&c->header);
	if (image && image_check_body(src, c, image, image_size(&c->header), NULL) != IMAGE_VALID) {
		free(image);
		image = NULL;
	}
	return image;
}

/* Launch */

// How the launch line is started. The table's lines stay in stringbuff as
// they are; the process is replaced with execve() directly, not through a
// shell, so that a program that cannot be started is seen here and ends
// in a reboot instead of in a shell's "not found" with nobody left to
// reboot. The debugging lines start the application where the unpack put
// it, APPLICATION (it is moved out of the tree's folder before the
// launch), and the line's DUMA_PRELOAD becomes an entry of the
// environment that the program inherits, as the shell would pass it.
struct launch_command {
	const char *argv[4];
	bool preload;
};

// Puts the launch line for the switches into stringbuff and fills cmd;
// target receives the gdbserver argument "address:port".
static void compose_launch(launch_command *cmd, char *target, size_t size)
{
	const launch_settings_t *s = &launch_settings;
	char address[IPV4_TEXT_SIZE];

	format_ipv4(address, s->gdbserver);
	snprintf(target, size, "%s:%d", address, (int)s->gdbport);
	memset(cmd, 0, sizeof *cmd);
	cmd->preload = s->memchk_enable;
	if (s->gdb_enable && s->memchk_enable)
		snprintf(stringbuff, sizeof stringbuff,
			 "%s %s %s:%d %s\n", DUMA_PRELOAD, GDBSERVER,
			 address, (int)s->gdbport, UNPACKED);
	else if (s->gdb_enable)
		snprintf(stringbuff, sizeof stringbuff, "%s %s:%d %s\n", GDBSERVER,
			 address, (int)s->gdbport, UNPACKED);
	else if (s->memchk_enable)
		snprintf(stringbuff, sizeof stringbuff, "%s %s\n", DUMA_PRELOAD, UNPACKED);
	else
		snprintf(stringbuff, sizeof stringbuff, "%s", MONITOR);

	if (s->gdb_enable) {
		cmd->argv[0] = GDBSERVER;
		cmd->argv[1] = target;
		cmd->argv[2] = APPLICATION;
	} else {
		// The plain launch line is the program's path itself.
		cmd->argv[0] = s->memchk_enable ? APPLICATION : stringbuff;
	}
}

// The inherited environment with LD_PRELOAD naming the DUMA library (an
// inherited LD_PRELOAD is replaced, as the shell's assignment would do).
// NULL when there is no memory for it.
static char **preload_environment(void)
{
	static const char key[] = "LD_PRELOAD=";
	size_t count = 0, kept = 0;
	char **env;

	while (environ && environ[count])
		count++;
	env = (char **)malloc((count + 2) * sizeof *env);
	if (!env)
		return NULL;
	for (size_t i = 0; i < count; i++)
		if (strncmp(environ[i], key, sizeof key - 1) != 0)
			env[kept++] = environ[i];
	env[kept++] = const_cast<char *>(DUMA_PRELOAD);
	env[kept] = NULL;
	return env;
}

// Replaces the process; returns only when that failed.
static void start_application(const launch_command *cmd)
{
	char **env = cmd->preload ? preload_environment() : environ;

	if (!env)
		return;
	flush_console();
	execve(cmd->argv[0], const_cast<char **>(cmd->argv), env);
	if (env != environ)
		free(env);
}

void launch_image(void)
{
	launch_command cmd;
	char target[32];

	pause_seconds(1);
	snprintf(stringbuff, sizeof stringbuff, "cd /tmp \ntar mxzf %s \nrm %s\n",
		 STAGING_ARCHIVE, STAGING_ARCHIVE);
	if (run_command(stringbuff) < 0) {
		error("Failed to gunzip Application OS.\n");
		board_reset();
	}
	run_command(MOVE_APPLICATION);
	if (launch_settings.shell_enable) {
		puts("Dropping into shell");
		snprintf(stringbuff, sizeof stringbuff, "%s", INTERACTIVE_SHELL);
		run_command(stringbuff);
		puts("Dropping out of shell");
	}
	compose_launch(&cmd, target, sizeof target);
	api_i2c_close();
	start_application(&cmd);
	error("Failed to start Application OS.\n");
	board_reset();
}

/* Boot sequence */

static int other_image(int n)
{
	return n == 1 ? 2 : 1;
}

// The last way out of a failed boot: a console shell when asked for, then
// the reboot.
[[noreturn]] static void shell_exit(void)
{
	if (launch_settings.shell_enable)
		run_command(INTERACTIVE_SHELL);
	board_reset();
}

[[noreturn]] static void recovery_exit(void)
{
	extract_image_from_flash();
	shell_exit();
}

// Opens slot n's image file, or else the other slot's; NULL when neither
// can be opened.
static FILE *open_slot(int n)
{
	FILE *f = fopen(slot_path(n), "rb");

	if (f)
		return f;
	error(n == 1 ? "Failed to open Application image 1. Trying image 2.\n"
		     : "Failed to open Application image 2. Trying image 1.\n");
	f = fopen(slot_path(other_image(n)), "rb");
	if (f)
		return f;
	error(n == 1 ? "Failed to open Application image 2. Trying rescue image\n"
		     : "Failed to open Application image 1. Trying rescue image\n");
	return NULL;
}

int which_image(void)
{
	const int n = api_get_image();

	return n == 1 || n == 2 ? n : 1;
}

// Messages and the booted-image record name the requested slot n, even
// when open_slot() fell back to the other slot's file.
int extract_image(int n)
{
	image_check c;
	image_source src;
	FILE *image, *staging;
	uint8_t *buffer;

	if (n != 1 && n != 2)
		return 0;
	image = open_slot(n);
	if (!image)
		recovery_exit();
	staging = fopen(STAGING_ARCHIVE, "wb");
	if (!staging) {
		error("Failed to open application image output file.\n");
		fclose(image);
		shell_exit();
	}
	src = file_source(image);
	if (image_header_invalid(image_check_header(&src, &c))) {
		fclose(image);
		fclose(staging);
		if (!tried_alt_image) {
			fprintf(stderr, "Image%d has invalid header... trying Image%d.\n", n, other_image(n));
			return 0;
		}
		error("No valid application image found. Trying rescue image\n");
		recovery_exit();
	}
	buffer = read_image(&src, &c);
	if (!buffer) {
		fclose(image);
		fclose(staging);
		if (!tried_alt_image) {
			fprintf(stderr, "Image%d CRC failed, trying Image%d now.\n", n, other_image(n));
			return 0;
		}
		error("Both image1 and image2 failed.\n");
		shell_exit();
	}
	fwrite(buffer + IMAGE_HEADER_SIZE, 1, c.header.length, staging);
	free(buffer);
	fclose(image);
	fclose(staging);
	api_set_booted_image((uint8_t)n);
	launch_image();
}

/* Recovery image and rescue mode */

// Keeps the recovery image as slot `digit`'s image file and makes it the
// selected image. False when the install copy cannot be created.
static bool install_recovery_image(const uint8_t *image, const image_header *h, char digit)
{
	const uint8_t n = (uint8_t)(digit - '0');
	char line[sizeof "cp /tmp/image " BOARD_SLOT1 "\n"];
	FILE *copy;

	printf("\nInstalling recovery image as image%c...\n", digit);
	copy = fopen(INSTALL_COPY, "wb");
	if (!copy) {
		error("Failed to open image file.\n");
		return false;
	}
	fwrite(image, 1, image_size(h), copy);
	fclose(copy);
	run_command(MAKE_IMAGES_DIR);
	snprintf(line, sizeof line, "cp %s %s%c\n", INSTALL_COPY, BOARD_IMAGES_DIR "/image", digit);
	run_command(line);
	printf("setting boot image to %d\n", n);
	api_set_image(n);
	api_set_booted_image(n);
	return true;
}

int extract_image_from_flash(void)
{
	// No end: the launcher reads what the partition gives.
	const image_source src = flash_source(rescue_fd, UINT32_MAX);
	image_check c;
	uint8_t *image;
	char answer[8];
	int first;
	FILE *staging = fopen(STAGING_ARCHIVE, "wb");

	if (!staging) {
		error("Failed to open AppOS tarfile.\n");
		board_reset();
	}
	if (image_header_invalid(image_check_header(&src, &c))) {
		error("Image not found... \n");
		fclose(staging);
		return 0;
	}
	image = read_image(&src, &c);
	if (!image) {
		error("Image CRC failed. Quitting\n");
		fclose(staging);
		return 0;
	}
	fwrite(image + IMAGE_HEADER_SIZE, 1, c.header.length, staging);
	fclose(staging);

	prompt("Install recovery image as image 1 or 2 (hit return to just boot image): ");
	first = read_answer(answer, sizeof answer);
	if (first == '1' || first == '2') {
		if (!install_recovery_image(image, &c.header, (char)first)) {
			free(image);
			board_reset();
		}
	} else if (first != EOF) {
		puts("\nBooting recovery image. You will need to download and install an image before rebooting");
		api_set_booted_image(RECOVERY_IMAGE);
	}
	free(image);
	launch_image();
}

int run_rescue_mode(void)
{
	char answer[128];
	int c;

	puts("Entering rescue mode....");
	prompt("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ");
	c = read_answer(answer, sizeof answer);
	if (c == 'y' || c == 'Y') {
		puts("\nErasing filesystem for clean install");
		puts("Erasing....");
		run_command(ERASE_USER);
	}
	puts("Mounting...");
	run_command(MOUNT_USER);
	run_command(MAKE_IMAGES_DIR);
	puts("Booting rescue image...");
	return extract_image_from_flash();
}

int main()
{
	int n;

	api_i2c_init();
	api_flash_init();
	parse_uboot_env();
	if (launch_settings.rescue_enable)
		run_rescue_mode();
	else
		run_command(MOUNT_USER);

	n = which_image();
	printf("Booting image '%d'\n", n);
	extract_image(n);

	n = other_image(n);
	printf("Booting image '%d'\n", n);
	tried_alt_image = 1;
	extract_image(n);
	board_reset();
}

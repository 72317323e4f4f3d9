// SPDX-License-Identifier: MIT
// vemra-boot: boot control on the board. Shows the boot choice, the image
// slots, the recovery image and the launcher's switches; selects the slot
// that boots next; installs an image into a slot, at once or for a trial;
// writes the recovery image. Runs as root on the board and reaches the VPD
// EEPROM and the flash through the board API; the slot files are plain
// files on /user. Images are checked by the launcher's own check, and the
// switches are read by the launcher's own reader.
//
// This file reads the command line and hands over to the command's own
// file. Every refusal or error is one line on stderr. The board layer
// prints its own lines (failures, the flash write's progress) on stdout,
// which is flushed before each of ours.
#include "board_config.h"
#include "console.h"
#include "install.h"
#include "recovery.h"
#include "status.h"
#include "switches.h"
#include "trial.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <csignal>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

static const char HELP[] =
	"usage: vemra-boot status [-p]\n"
	"       vemra-boot select 1|2 [--trial [--boots N]] [--allow-downgrade]\n"
	"       vemra-boot install FILE|- [1|2] [--select | --trial [--boots N]]\n"
	"                  [--signature SIG] [--allow-downgrade] [--force]\n"
	"       vemra-boot recovery FILE|- [--signature SIG] [--allow-downgrade]\n"
	"       vemra-boot boot-check\n"
	"       vemra-boot confirm | reject\n"
	"       vemra-boot set KEY VALUE\n"
	"       vemra-boot unset KEY\n"
	"       vemra-boot -h|--help|--version\n"
	"\n"
	"Boot control on the board: the launcher's boot choice in the VPD EEPROM,\n"
	"its image slots " BOARD_SLOT1 " and image2, the recovery image on\n"
	BOARD_MTD_RESCUE ", trial boots in the VPD EEPROM, and the launcher's\n"
	"switches in the U-Boot environment that /etc/fw_env.config places (one\n"
	"copy). Images are checked as the launcher checks them, switches read as\n"
	"it reads them.\n"
	"\n"
	"  status    show the selected image (VPD byte " BOARD_VPD_SELECTED_TEXT "), the last booted one\n"
	"            (VPD byte " BOARD_VPD_BOOTED_TEXT "; 4 is the recovery image), the state of both\n"
	"            slots and of the recovery image (valid, invalid-header,\n"
	"            checksum-failed, missing or unreadable), whether signatures\n"
	"            are required (then also each slot's version and board, and\n"
	"            whether its kept signature still matches it, for the\n"
	"            recovery image too, the board's string and its floor), the\n"
	"            launcher's switches as it reads them, a pending trial and\n"
	"            the last rollback. With -p: one\n"
	"            key=value a line. What cannot be read is shown as\n"
	"            unreadable, never as a default, and makes the exit status 2.\n"
	"  select    make slot 1 or 2 the one the launcher boots first: VPD\n"
	"            byte " BOARD_VPD_SELECTED_TEXT " is written and read back. With keys and a floor, a\n"
	"            slot whose kept signature gives it no version, or one older\n"
	"            than the floor, is refused (1) unless --allow-downgrade.\n"
	"  install   write FILE, or the image on standard input (-), into slot\n"
	"            1 or 2; with no slot named, into the one not running (the\n"
	"            other of VPD byte " BOARD_VPD_BOOTED_TEXT "), said on stdout. The running slot is\n"
	"            refused (1) unless --force. The image goes into a copy\n"
	"            beside the slot as it arrives (at most 64 KiB of it in\n"
	"            memory, whatever its size); the copy is read back and\n"
	"            checked, then renamed over the slot; then, with --select or\n"
	"            --trial, the slot is selected. An image larger than " BOARD_USER_DIR "'s\n"
	"            free room is refused before anything is written. One that\n"
	"            ends early, goes on past its header's length, sends nothing\n"
	"            for 30 s (2) or fails a check is refused with the slot as it\n"
	"            was and the copy removed. On a terminal it shows the bytes\n"
	"            as they arrive. A power cut leaves the slot's old image or\n"
	"            the new one, whole, and a slot is selected only once it\n"
	"            holds the new one; a selection that fails leaves it\n"
	"            installed, not selected.\n"
	"  --trial   select the slot for a trial of N boots (1 to 99, default\n"
	"            3); the other slot is the way back. Refused while another\n"
	"            trial is pending, when the slot is the one that boots now,\n"
	"            or when the way back holds no image the launcher boots.\n"
	"  --signature  the minisign signature of FILE (default FILE.minisig;\n"
	"            needed for -: it may be fetched first, it is small).\n"
	"            When /etc/vemra-boot/keys holds minisign public keys\n"
	"            (*.pub), install and recovery take only a FILE signed by\n"
	"            one of them (vemra-image sign; minisign's legacy form only\n"
	"            from a FILE of at most 1 MiB, as it is checked whole):\n"
	"            no signature file, a malformed one, a key not trusted or a\n"
	"            trusted comment that does not match is refused (1) before\n"
	"            anything is written, and so is an image signed for another\n"
	"            board than /etc/vemra-boot/board names (or for none, when it\n"
	"            names one), signed with a version or board word that is not\n"
	"            valid, or older than the board's floor: the highest version\n"
	"            confirmed or installed without a trial. The floor only\n"
	"            rises; it is kept in the last two erase sectors of the\n"
	"            rescue partition, beyond " BOARD_USER_DIR "'s fate, with the recovery\n"
	"            image's signature. A floor that cannot be read is an error\n"
	"            (2). Image bytes that do not match the signature are\n"
	"            refused as a failed check. A slot's signature is kept\n"
	"            beside it (imageN.minisig). The bytes checked are the bytes\n"
	"            read back from the flash. With no keys folder, signatures\n"
	"            are not required, and --signature is refused (1); a keys\n"
	"            folder that cannot be read or holds no *.pub, or a link to\n"
	"            nothing in its place, is an error (2).\n"
	"  --allow-downgrade  install, or select, an image older than the\n"
	"            floor, as a person's decision, said on stdout; the floor\n"
	"            stays.\n"
	"  recovery  write FILE or standard input as the recovery image, a\n"
	"            sector at a time, its header last: only once the rest is\n"
	"            read back and checked. A FILE is checked whole first and\n"
	"            refused (larger than the rescue partition but its last two\n"
	"            sectors included) before the partition is touched; standard\n"
	"            input that fails leaves no recovery image the launcher\n"
	"            boots. So does a power cut during the write. With keys, it\n"
	"            is refused as install is, and its signature is kept; it\n"
	"            does not raise the floor.\n"
	"  boot-check  run by init just before the launcher: counts a boot of\n"
	"            the trial pending (and clears VPD byte " BOARD_VPD_BOOTED_TEXT ", which the\n"
	"            launcher then sets); once its N boots are used up without\n"
	"            a confirm, or at once when the launcher did not boot the\n"
	"            slot on trial last time (VPD byte " BOARD_VPD_BOOTED_TEXT ") or VPD byte " BOARD_VPD_SELECTED_TEXT " does\n"
	"            not boot it, selects the way back, ends the trial and says\n"
	"            so in one line. Writes nothing and reads no flash when no\n"
	"            trial is pending, and never stops a boot: failures are one\n"
	"            line on stderr, the exit status is 0.\n"
	"  confirm   run by the application once it is healthy: ends the trial,\n"
	"            the slot stays, and its signed version raises the floor.\n"
	"            Refused (1) unless the slot on trial is the one selected\n"
	"            and the one booted (VPD byte " BOARD_VPD_BOOTED_TEXT ").\n"
	"  reject    the update is bad: selects the way back at once and ends\n"
	"            the trial.\n"
	"            Both say so when no trial is pending (exit status 0), and\n"
	"            both wait up to 30 s for another vemra-boot at work.\n"
	"  set, unset  write or remove one of the launcher's switches, then read\n"
	"            the environment back through the launcher's reader: gdb,\n"
	"            shell and memchk take on or off, diagnostics rescue or\n"
	"            normal, gdbserver an address a.b.c.d, gdbport 1 to 65535;\n"
	"            any other value is refused (2), as the launcher would not\n"
	"            read it as meant. When the launcher would not see the\n"
	"            change (beyond the 1280 bytes it reads, or another\n"
	"            variable's text holds the key first), the environment is\n"
	"            put back as it was and the exit status is 1.\n"
	"\n"
	"A trial is kept in six bytes of the VPD EEPROM from byte %u (the slot,\n"
	"its check, its boots, the boots used in two copies, the last rollback),\n"
	"each written alone and read back once the EEPROM answers again after its\n"
	"write cycle, in an order that leaves the way back at every instant: a\n"
	"power cut at any point, even one that leaves the byte being written at\n"
	"any value, still goes back unless the trial was confirmed. While a trial\n"
	"is pending, install and select of either slot are refused: confirm or\n"
	"reject it first.\n"
	"\n"
	"The environment: one whose checksum fails is never replaced (set and\n"
	"unset are refused). The EEPROM: a write that is not acknowledged is an\n"
	"error, and then nothing was written. A failed read cannot be told from\n"
	"a byte of 255, so 255 is read again before it is believed: status shows\n"
	"255 with that note, and boot-check reads VPD byte " BOARD_VPD_SELECTED_TEXT " as the launcher\n"
	"does (255 boots image 1). A read-back of 255 is an error after which the\n"
	"byte may hold its old value or the new one (a trial then stays\n"
	"recorded, and boot-check ends it or counts it as VPD byte " BOARD_VPD_SELECTED_TEXT " turns out).\n"
	"A read-back of another byte than the one written is an error too, and\n"
	"the EEPROM holds what was read.\n"
	"\n"
	"Commands that write take the lock " BOARD_LOCK_FILE "; one that finds it\n"
	"held by another vemra-boot is refused (1). boot-check, confirm and reject\n"
	"wait up to 30 s for it instead; past that, boot-check leaves the trial\n"
	"unchecked for this boot, and confirm and reject are refused (1).\n"
	"\n"
	"Exit status: 0 done, 1 refused (not an image the launcher boots, not\n"
	"signed by a trusted key, too large for the rescue partition, a trial or\n"
	"a switch that cannot be, an environment whose checksum fails, the lock\n"
	"held), 2 usage or I/O error.\n";

// Commands that write hold this lock for their whole run, so that two of
// them cannot undo each other's writes; the kernel drops it when the
// process ends, however it ends. /run is a tmpfs, so no lock outlives a
// boot.
static const char LOCK_FILE[] = BOARD_LOCK_FILE;

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

// A trial's boots unless --boots says otherwise.
static const int TRIAL_BOOTS = 3;

// The arguments of select, install and recovery: their positionals
// (a slot; FILE and a slot; FILE) and the options --select, --trial,
// --boots N, --signature SIG and --allow-downgrade.
struct command_args {
	const char *pos[2];
	int count;
	selection how;
	const char *signature; // --signature SIG
	install_options options;
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
	else if (strcmp(arg, "--allow-downgrade") == 0)
		a->options.allow_downgrade = true;
	else if (strcmp(arg, "--force") == 0 && install)
		a->options.force = true;
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
	a.how.select = !a.how.trial;
	return cmd_select(n, &a.how, a.options.allow_downgrade);
}

static int run_install(int argc, char **argv)
{
	command_args a;
	int n = 0;

	if (parse_args("install", argc, argv, 2, &a) != STATUS_OK)
		return STATUS_ERROR;
	if (a.count < 1)
		return usage_error("install: expected FILE (or - for standard input), then a slot, 1 or 2");
	if (a.count == 2 && !parse_slot(a.pos[1], &n))
		return STATUS_ERROR;
	return cmd_install(a.pos[0], a.signature, n, &a.how, &a.options);
}

// Commands with fixed arguments: boot-check, confirm, reject, set, unset.
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
	if (strcmp(cmd, "confirm") == 0)
		return cmd_confirm();
	return strcmp(cmd, "reject") == 0 ? cmd_reject() : cmd_boot_check();
}

static int run_recovery(int argc, char **argv)
{
	command_args a;

	if (parse_args("recovery", argc, argv, 1, &a) != STATUS_OK)
		return STATUS_ERROR;
	if (a.count != 1)
		return usage_error("recovery: expected one FILE (or - for standard input)");
	return cmd_recovery(a.pos[0], a.signature, a.options.allow_downgrade);
}

// boot-check, confirm and reject wait this long for a command that holds
// the lock. boot-check must not run beside one (a trial begun between its
// record and its selection would be ended, then selected), nor keep a
// board from booting for good. confirm and reject are run by the
// application, which cannot tell a lock held for a moment from a refusal:
// while a trial is pending the commands that may hold the lock are set,
// unset, a refused install or select and another confirm or reject, each
// done within a few seconds, and recovery, which a slow stream can keep
// going for any time. 30 s outlasts the first with room to spare; past
// it the application is told so (1) and tries again later, its trial's
// boots still to come.
static const unsigned LOCK_WAIT = 30;

static void alarm_rang(int)
{
}

// The lock taken, waiting for it up to seconds; false (EINTR) after them.
static bool wait_lock(int fd, unsigned seconds)
{
	struct sigaction ring = {}, before;
	int rc, err;

	ring.sa_handler = alarm_rang; // no SA_RESTART: the alarm ends the wait
	sigemptyset(&ring.sa_mask);
	sigaction(SIGALRM, &ring, &before);
	alarm(seconds);
	rc = flock(fd, LOCK_EX);
	err = errno;
	alarm(0);
	sigaction(SIGALRM, &before, nullptr);
	errno = err;
	return rc == 0;
}

// The commands that wait for the lock rather than being refused at once.
static bool waits(const char *cmd)
{
	return strcmp(cmd, "boot-check") == 0 || strcmp(cmd, "confirm") == 0 ||
	       strcmp(cmd, "reject") == 0;
}

// The lock's descriptor, or -1 with the refusal (STATUS_REFUSED: held by
// another vemra-boot) or the error said. cmd waits for a lock held, up to
// LOCK_WAIT seconds, if it is one that waits.
static int take_lock(const char *cmd, int *status)
{
	const int fd = open(LOCK_FILE, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
	const bool wait = waits(cmd);

	if (fd >= 0 && (wait ? wait_lock(fd, LOCK_WAIT) : flock(fd, LOCK_EX | LOCK_NB) == 0))
		return fd;
	*status = fd >= 0 && (errno == EWOULDBLOCK || errno == EINTR) ? STATUS_REFUSED : STATUS_ERROR;
	if (*status == STATUS_ERROR)
		error("%s: %s", LOCK_FILE, strerror(errno));
	else if (strcmp(cmd, "boot-check") == 0)
		error("boot-check: another vemra-boot held %s for %u s: the trial is not checked this boot",
		      LOCK_FILE, LOCK_WAIT);
	else if (wait)
		error("%s: another vemra-boot held %s for %u s: try again once it has ended", cmd,
		      LOCK_FILE, LOCK_WAIT);
	else
		error("another vemra-boot is at work (%s): try again once it has ended", LOCK_FILE);
	if (fd >= 0)
		close(fd);
	return -1;
}

static int run_writing(const char *cmd, int argc, char **argv)
{
	if (strcmp(cmd, "select") == 0)
		return run_select(argc, argv);
	if (strcmp(cmd, "install") == 0)
		return run_install(argc, argv);
	if (strcmp(cmd, "recovery") == 0)
		return run_recovery(argc, argv);
	return run_fixed(cmd, argc, argv);
}

static bool writes(const char *cmd)
{
	static const char *const WRITING[] = { "select", "install", "recovery", "boot-check",
					       "confirm",  "reject",  "set",      "unset" };

	for (const char *w : WRITING)
		if (strcmp(cmd, w) == 0)
			return true;
	return false;
}

int main(int argc, char **argv)
{
	const char *cmd;
	int status = STATUS_OK, lock;
	bool boot_check;

	if (argc < 2)
		return usage_error("no command given");
	cmd = argv[1];
	argc -= 2;
	argv += 2;
	if (strcmp(cmd, "--help") == 0 || strcmp(cmd, "-h") == 0 || strcmp(cmd, "--version") == 0) {
		if (argc > 0)
			return usage_error("%s: unexpected argument '%s'", cmd, argv[0]);
		if (strcmp(cmd, "--version") == 0)
			puts("vemra-boot " VEMRA_VERSION);
		else
			printf(HELP, (unsigned)TRIAL_VPD);
		return fflush(stdout) == 0 ? STATUS_OK : STATUS_ERROR;
	}
	if (strcmp(cmd, "status") == 0)
		return run_status(argc, argv);
	if (!writes(cmd))
		return usage_error("%s '%s'", is_option(cmd) ? "unknown option" : "unknown command", cmd);
	// boot-check, run by init before the launcher, waits for a command at
	// work; its status is 0 whatever happens. A lock that cannot be made
	// at all can be held by nobody else: then it goes on without.
	boot_check = strcmp(cmd, "boot-check") == 0;
	lock = take_lock(cmd, &status);
	if (lock < 0 && boot_check && status == STATUS_REFUSED)
		return STATUS_OK;
	if (lock < 0 && !boot_check)
		return status;
	status = run_writing(cmd, argc, argv);
	if (lock >= 0)
		close(lock);
	return status;
}

// SPDX-License-Identifier: MIT
// vemra-image: makes, lists, verifies, signs and unpacks the launcher's
// image containers on the host. This file reads the command line; each
// command is in a file of its own.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "board_config.h"
#include "create.h"
#include "inspect.h"
#include "io.h"
#include "sign.h"

static const char USAGE[] =
	"usage: vemra-image create -o OUT [--reserved N] PAYLOAD.tar.gz\n"
	"       vemra-image create -o OUT [--reserved N] -C DIR\n"
	"       vemra-image list IMAGE\n"
	"       vemra-image verify [--key PUB [--signature SIG]] IMAGE\n"
	"       vemra-image sign --key SECRET --version V --board B IMAGE\n"
	"       vemra-image extract IMAGE -o PAYLOAD\n"
	"       vemra-image -h|--help|--version\n"
	"\n"
	"  create   wrap a gzip-compressed tar archive in an image container;\n"
	"           with -C, pack the tree under DIR with tar first (members\n"
	"           relative to DIR, owned by root). The launcher starts the\n"
	"           program " BOARD_APP_PROGRAM " of the tree: a warning says when\n"
	"           DIR holds none. N sets the reserved header word (decimal, or\n"
	"           hexadecimal with 0x).\n"
	"  list     print the header fields and whether the image is valid, and\n"
	"           what IMAGE.minisig says of it (not checked: see verify).\n"
	"  verify   check the image as the launcher does; say why it is rejected.\n"
	"           With --key, first its minisign signature (SIG, by default\n"
	"           IMAGE.minisig) with the public key PUB, as the board does,\n"
	"           and show the version and board it is signed for.\n"
	"  sign     sign a valid image with minisign's secret key SECRET\n"
	"           (IMAGE.minisig): the trusted comment says its version V\n"
	"           (numbers and dots: 2.4.1) and the board B it is for, as the\n"
	"           board's vemra-boot checks them. minisign asks for the key's\n"
	"           password, if it has one.\n"
	"  extract  write the payload of a valid image.\n"
	"\n"
	"IMAGE may be a slot file, a raw dump of a partition or a pipe\n"
	"(/dev/stdin), read once from its start: bytes after the image are\n"
	"ignored. OUT and PAYLOAD are written whole or not at all: a file, also\n"
	"through a symbolic link, which stays, is replaced once complete; a\n"
	"device or a pipe gets the bytes once complete; - is standard output.\n"
	"\n"
	"Exit status: 0 done (for list and verify: the image is valid),\n"
	"1 image rejected, 2 usage or I/O error.\n";

enum { OPT_OUT = 1, OPT_RESERVED = 2, OPT_DIR = 4, OPT_KEY = 8, OPT_SIGNATURE = 16, OPT_META = 32 };

struct options {
	const char *out = nullptr;
	const char *dir = nullptr;
	const char *key = nullptr;
	const char *signature = nullptr;
	const char *version = nullptr;
	const char *board = nullptr;
	uint32_t reserved = 0;
	std::vector<const char *> files;
};

// Decimal, or hexadecimal after 0x; the whole of a 32-bit word.
static bool parse_u32(const char *s, uint32_t *v)
{
	const bool hex = s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
	const char *digits = hex ? s + 2 : s;
	char *end;

	if (!isxdigit((unsigned char)digits[0]))
		return false;
	errno = 0;
	const unsigned long long n = strtoull(digits, &end, hex ? 16 : 10);

	if (errno || *end || n > UINT32_MAX)
		return false;
	*v = (uint32_t)n;
	return true;
}

// Parses argv[0 .. argc) of a command taking the options in `allowed`.
// False, having said why, on a usage error.
static bool parse_options(const char *cmd, int argc, char **argv, int allowed, options *o)
{
	bool only_files = false;

	for (int i = 0; i < argc; i++) {
		const char *a = argv[i];
		const bool has_value = i + 1 < argc;

		if (only_files || a[0] != '-' || a[1] == '\0') {
			o->files.push_back(a);
		} else if (strcmp(a, "--") == 0) {
			only_files = true;
		} else if (strcmp(a, "-o") == 0 && (allowed & OPT_OUT) && has_value) {
			o->out = argv[++i];
		} else if (strcmp(a, "-C") == 0 && (allowed & OPT_DIR) && has_value) {
			o->dir = argv[++i];
		} else if (strcmp(a, "--key") == 0 && (allowed & OPT_KEY) && has_value) {
			o->key = argv[++i];
		} else if (strcmp(a, "--signature") == 0 && (allowed & OPT_SIGNATURE) && has_value) {
			o->signature = argv[++i];
		} else if (strcmp(a, "--version") == 0 && (allowed & OPT_META) && has_value) {
			o->version = argv[++i];
		} else if (strcmp(a, "--board") == 0 && (allowed & OPT_META) && has_value) {
			o->board = argv[++i];
		} else if (strcmp(a, "--reserved") == 0 && (allowed & OPT_RESERVED) && has_value) {
			if (!parse_u32(argv[++i], &o->reserved)) {
				usage_error("--reserved: not a 32-bit number: '%s'", argv[i]);
				return false;
			}
		} else if (!has_value && (strcmp(a, "-o") == 0 || strcmp(a, "-C") == 0 ||
					  strcmp(a, "--reserved") == 0 || strcmp(a, "--key") == 0 ||
					  strcmp(a, "--signature") == 0 || strcmp(a, "--version") == 0 ||
					  strcmp(a, "--board") == 0)) {
			usage_error("%s: option %s needs a value", cmd, a);
			return false;
		} else {
			usage_error("%s: unknown option '%s'", cmd, a);
			return false;
		}
	}
	return true;
}

static bool is_help(const char *a)
{
	return strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0 || strcmp(a, "help") == 0;
}

int main(int argc, char **argv)
{
	if (argc < 2)
		return usage_error("no command given");
	const char *cmd = argv[1];

	if (strcmp(cmd, "--version") == 0) {
		puts("vemra-image " VEMRA_VERSION);
		return fflush(stdout) == 0 ? STATUS_OK : STATUS_ERROR;
	}

	for (int i = 1; i < argc; i++)
		if (is_help(argv[i]) && (i == 1 || argv[i][0] == '-')) {
			fputs(USAGE, stdout);
			return fflush(stdout) == 0 ? STATUS_OK : STATUS_ERROR;
		}

	int allowed;

	if (strcmp(cmd, "create") == 0)
		allowed = OPT_OUT | OPT_RESERVED | OPT_DIR;
	else if (strcmp(cmd, "extract") == 0)
		allowed = OPT_OUT;
	else if (strcmp(cmd, "verify") == 0)
		allowed = OPT_KEY | OPT_SIGNATURE;
	else if (strcmp(cmd, "sign") == 0)
		allowed = OPT_KEY | OPT_META;
	else if (strcmp(cmd, "list") == 0)
		allowed = 0;
	else if (cmd[0] == '-')
		return usage_error("unknown option '%s'", cmd);
	else
		return usage_error("unknown command '%s'", cmd);

	options o;

	if (!parse_options(cmd, argc - 2, argv + 2, allowed, &o))
		return STATUS_ERROR;
	const size_t files_wanted = o.dir ? 0 : 1;

	if (o.signature && !o.key)
		return usage_error("%s: --signature goes with --key", cmd);
	if ((allowed & OPT_META) && (!o.key || !o.version || !o.board))
		return usage_error("%s: --key, --version and --board are needed", cmd);
	if ((allowed & OPT_OUT) && !o.out)
		return usage_error("%s: no output file given (-o)", cmd);
	if (o.files.size() != files_wanted)
		return usage_error("%s: expected %s", cmd,
				   o.dir ? "no input file with -C" :
				   strcmp(cmd, "create") == 0 ? "one PAYLOAD file" :
				   "one IMAGE file");

	if (strcmp(cmd, "create") == 0)
		return cmd_create(o.out, o.reserved, o.dir ? nullptr : o.files[0], o.dir);
	if (strcmp(cmd, "extract") == 0)
		return cmd_extract(o.files[0], o.out);
	if (strcmp(cmd, "list") == 0)
		return cmd_list(o.files[0]);
	if (strcmp(cmd, "sign") == 0)
		return cmd_sign(o.files[0], o.key, o.version, o.board);
	return cmd_verify(o.files[0], o.key, o.signature);
}

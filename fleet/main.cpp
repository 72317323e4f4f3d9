// SPDX-License-Identifier: MIT
// vemra-fleet: the operator's view of a fleet of boards over MQTT: their
// retained states as a list, and the update a group is to install. This
// file reads the command line; each command is in a file of its own.
#include <cstdio>
#include <cstring>

#include "announce.h"
#include "common.h"
#include "fleet_words.h"
#include "credentials.h"
#include "listing.h"
#include "session.h"

static const char USAGE[] =
	"usage: vemra-fleet fleet --broker HOST[:PORT] --credentials FILE [--board B] [--json]\n"
	"       vemra-fleet announce --broker HOST[:PORT] --credentials FILE --board B --group G --url URL --version V\n"
	"       vemra-fleet announce --broker HOST[:PORT] --credentials FILE --board B --group G --clear\n"
	"       vemra-fleet -h|--help|--version\n"
	"\n"
	"  fleet     list the boards from their retained states (vemra/B/ID/state),\n"
	"            one line each, sorted by board then id, under a header: id,\n"
	"            board, group, the image running and its version, a pending\n"
	"            trial, the last rollback, the last update's step and version,\n"
	"            and when the state was made (UTC). --board B: that board's\n"
	"            states alone. --json: a JSON array instead, one object per\n"
	"            board with those columns (null for none) and the whole state\n"
	"            under \"state\". A state that cannot be read (not JSON, more\n"
	"            than 4096 bytes, a key missing or of another kind) gets one\n"
	"            line on stderr naming its topic; the others are listed.\n"
	"  announce  publish the update for the group G of boards B, retained:\n"
	"            {\"url\":URL,\"version\":V} on vemra/B/G/update, once the broker\n"
	"            acknowledges it. URL: http:// or https://, at most 512\n"
	"            characters, no blanks, double quotes or backslashes (the\n"
	"            signature is at URL.minisig); V: numbers and dots (2.4.1).\n"
	"            Both are checked before connecting. --clear withdraws the\n"
	"            announcement.\n"
	"\n"
	"B, G and ID: 1 to 63 of A-Z a-z 0-9 . _ -. The broker's port is 1883\n"
	"unless given. FILE holds the user and password as user=NAME and\n"
	"password=SECRET lines (# comments) and may be read by its owner alone.\n"
	"The whole exchange with the broker ends within 10 s. MQTT v5.\n"
	"\n"
	"Exit status: 0 done; 1 refused (a value refused, the broker's refusal,\n"
	"a state that could not be read); 2 usage, credentials or connection\n"
	"error.\n";

struct fleet_options {
	const char *broker = nullptr;
	const char *credentials = nullptr;
	const char *board = nullptr;
	const char *group = nullptr;
	const char *url = nullptr;
	const char *version = nullptr;
	bool json = false;
	bool clear = false;
};

// The option a takes a value: the place where it goes, or nullptr.
static const char **value_of(const char *cmd, const char *a, fleet_options *o)
{
	const bool announce = strcmp(cmd, "announce") == 0;

	if (strcmp(a, "--broker") == 0)
		return &o->broker;
	if (strcmp(a, "--credentials") == 0)
		return &o->credentials;
	if (strcmp(a, "--board") == 0)
		return &o->board;
	if (announce && strcmp(a, "--group") == 0)
		return &o->group;
	if (announce && strcmp(a, "--url") == 0)
		return &o->url;
	if (announce && strcmp(a, "--version") == 0)
		return &o->version;
	return nullptr;
}

// argv[0 .. argc) of cmd; false, having said why, on a usage error.
static bool parse_options(const char *cmd, int argc, char **argv, fleet_options *o)
{
	for (int i = 0; i < argc; i++) {
		const char *a = argv[i];
		const char **value = value_of(cmd, a, o);

		if (value && i + 1 < argc)
			*value = argv[++i];
		else if (value)
			return usage_error("%s: option %s needs a value", cmd, a), false;
		else if (strcmp(cmd, "fleet") == 0 && strcmp(a, "--json") == 0)
			o->json = true;
		else if (strcmp(cmd, "announce") == 0 && strcmp(a, "--clear") == 0)
			o->clear = true;
		else if (a[0] == '-')
			return usage_error("%s: unknown option '%s'", cmd, a), false;
		else
			return usage_error("%s: unexpected argument '%s'", cmd, a), false;
	}
	return true;
}

// What the options of cmd lack or hold too much of, or nullptr.
static const char *misuse(const char *cmd, const fleet_options *o)
{
	if (!o->broker || !o->credentials)
		return "--broker and --credentials are needed";
	if (strcmp(cmd, "fleet") == 0)
		return nullptr;
	if (!o->board || !o->group)
		return "--board and --group are needed";
	if (o->clear && (o->url || o->version))
		return "--clear takes no --url or --version";
	if (!o->clear && (!o->url || !o->version))
		return "--url and --version are needed (or --clear)";
	return nullptr;
}

static int run(const char *cmd, const fleet_options *o)
{
	broker_address a;
	credentials c;

	if (!broker_parse(o->broker, &a))
		return usage_error("--broker '%s': not HOST or HOST:PORT", o->broker);
	if (strcmp(cmd, "fleet") == 0 && o->board && !fleet_name_valid(o->board)) {
		error("--board '%s': not 1 to 63 of A-Z a-z 0-9 . _ -", o->board);
		return STATUS_REFUSED;
	}
	if (strcmp(cmd, "fleet") == 0)
		return credentials_read(o->credentials, &c) ? cmd_fleet(&a, &c, o->board, o->json) : STATUS_ERROR;
	if (!credentials_read(o->credentials, &c))
		return STATUS_ERROR;
	return cmd_announce(&a, &c, o->board, o->group, o->url, o->version);
}

int main(int argc, char **argv)
{
	if (argc < 2)
		return usage_error("no command given");
	const char *cmd = argv[1];

	if (strcmp(cmd, "--help") == 0 || strcmp(cmd, "-h") == 0 || strcmp(cmd, "help") == 0) {
		fputs(USAGE, stdout);
		return fflush(stdout) == 0 ? STATUS_OK : STATUS_ERROR;
	}
	if (strcmp(cmd, "--version") == 0) {
		puts("vemra-fleet " VEMRA_VERSION);
		return fflush(stdout) == 0 ? STATUS_OK : STATUS_ERROR;
	}
	if (strcmp(cmd, "fleet") != 0 && strcmp(cmd, "announce") != 0)
		return usage_error(cmd[0] == '-' ? "unknown option '%s'" : "unknown command '%s'", cmd);
	fleet_options o;

	if (!parse_options(cmd, argc - 2, argv + 2, &o))
		return STATUS_ERROR;
	const char *wrong = misuse(cmd, &o);

	return wrong ? usage_error("%s: %s", cmd, wrong) : run(cmd, &o);
}

// SPDX-License-Identifier: MIT
#include "sign.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>

#include "check.h"
#include "io.h"
#include "meta.h"

// minisign run on the image: its trusted comment in minisign's own form
// (tab-separated name:value words, timestamp: and file: as minisign writes
// them), with the version and the board that vemra-boot checks.
static int run_minisign(const char *path, const char *key, const std::string &comment)
{
	const char *argv[] = { "minisign", "-S", "-s", key, "-m", path, "-t", comment.c_str(), nullptr };
	const pid_t pid = fork();

	if (pid < 0) {
		error("fork: %s", strerror(errno));
		return STATUS_ERROR;
	}
	if (pid == 0) {
		execvp("minisign", const_cast<char *const *>(argv));
		error("minisign: %s", strerror(errno));
		_exit(127);
	}
	return child_succeeded(pid, "minisign") ? STATUS_OK : STATUS_ERROR;
}

int cmd_sign(const char *path, const char *key, const char *version, const char *board)
{
	const char *name = strrchr(path, '/') ? strrchr(path, '/') + 1 : path;
	payload_sink p = { -1, {}, 0 };
	image_check c;
	// Room for the longest words taken below and a 64-bit timestamp, far
	// below the 4,077 bytes that minisign signs: a comment is never cut.
	char comment[512];
	int n;

	if (!version_valid(version))
		return usage_error("sign: --version takes numbers and dots (2.4.1), not '%s'", version);
	if (!board_valid(board))
		return usage_error("sign: --board takes 1 to 63 characters without blanks, not '%s'",
				   board);
	if (name[strcspn(name, "\t\n")] || strlen(name) > 128)
		return usage_error("sign: %s: a name with a tab or a line break, or too long", path);
	if (!check_file(path, &p, nullptr, &c))
		return STATUS_ERROR;
	if (c.state != IMAGE_VALID) {
		error("%s: %s", path, reason(c).c_str());
		return STATUS_REJECTED;
	}
	n = snprintf(comment, sizeof comment, "timestamp:%lld\tfile:%s\tversion:%s\tboard:%s",
		     (long long)time(nullptr), name, version, board);
	if (n < 0 || (size_t)n >= sizeof comment) {
		error("%s: the trusted comment would not fit whole", path);
		return STATUS_ERROR;
	}
	const int status = run_minisign(path, key, comment);
	if (status == STATUS_OK)
		printf("%s.minisig: version %s for %s\n", path, version, board);
	return status;
}


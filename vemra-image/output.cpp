// SPDX-License-Identifier: MIT
#include "output.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io.h"

// Symbolic links followed before a link chain is taken for a loop, as the
// kernel counts them.
static const int MAX_LINKS = 40;

// The path a regular file OUT names once its symbolic links are followed,
// also when the last of them leads to no file yet. False, with errno, when
// the chain cannot be followed.
static bool follow_links(const char *out, char *path)
{
	char link[PATH_MAX];

	if (snprintf(path, PATH_MAX, "%s", out) >= PATH_MAX) {
		errno = ENAMETOOLONG;
		return false;
	}
	for (int i = 0; i < MAX_LINKS; i++) {
		struct stat st;

		if (lstat(path, &st) < 0)
			return errno == ENOENT;
		if (!S_ISLNK(st.st_mode))
			return true;
		const ssize_t n = readlink(path, link, sizeof(link) - 1);

		if (n < 0)
			return false;
		link[n] = '\0';
		const char *slash = strrchr(path, '/');
		const int dirlen = link[0] == '/' || !slash ? 0 : (int)(slash - path + 1);

		if (snprintf(path + dirlen, PATH_MAX - dirlen, "%s", link) >= PATH_MAX - dirlen) {
			errno = ENAMETOOLONG;
			return false;
		}
	}
	errno = ELOOP;
	return false;
}

// A temporary file beside `path` (in its directory), or, for a stream,
// one in TMPDIR that has no name from the start.
static int make_temp(output *o, const char *path)
{
	const char *slash = strrchr(path, '/');
	const int dirlen = slash ? (int)(slash - path + 1) : 0;
	int fd = -1;

	if (snprintf(o->temp, sizeof(o->temp), "%.*s.vemra-image.XXXXXX", dirlen, path) >=
	    (int)sizeof(o->temp))
		errno = ENAMETOOLONG;
	else
		fd = mkostemp(o->temp, O_CLOEXEC);
	if (fd >= 0 && o->stream >= 0) {
		unlink(o->temp);
		o->temp[0] = '\0';
	}
	if (fd < 0)
		o->temp[0] = '\0';
	return fd;
}

static int stream_temp(output *o)
{
	const char *dir = getenv("TMPDIR");
	char path[PATH_MAX];

	snprintf(path, sizeof(path), "%s/", dir && dir[0] ? dir : "/tmp");
	return make_temp(o, path);
}

// Where the output goes; false, having said why, when it cannot go there.
static bool open_target(const char *out, output *o)
{
	struct stat st;

	if (strcmp(out, "-") == 0) {
		o->name = "standard output";
		o->stream = STDOUT_FILENO;
	} else if (stat(out, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
		o->stream = open(out, O_WRONLY | O_NOCTTY | O_CLOEXEC);
		if (o->stream < 0) {
			error("%s: %s", out, strerror(errno));
			return false;
		}
	} else if (!follow_links(out, o->target)) {
		error("%s: %s", out, strerror(errno));
		return false;
	}
	if (o->stream >= 0 && isatty(o->stream)) {
		error("%s: a terminal: the output is not written to one", o->name);
		return false;
	}
	return true;
}

int output_open(const char *out, output *o)
{
	o->name = out;
	o->fd = -1;
	o->stream = -1;
	o->temp[0] = o->target[0] = '\0';
	if (!open_target(out, o)) {
		output_discard(o);
		return -1;
	}
	o->fd = o->stream >= 0 ? stream_temp(o) : make_temp(o, o->target);
	if (o->fd < 0) {
		error("%s: cannot create a file %s: %s", o->name,
		      o->stream >= 0 ? "in the temporary directory" : "beside it", strerror(errno));
		output_discard(o);
	}
	return o->fd;
}

void output_discard(output *o)
{
	if (o->fd >= 0)
		close(o->fd);
	if (o->temp[0])
		unlink(o->temp);
	if (o->stream > STDOUT_FILENO)
		close(o->stream);
	o->fd = o->stream = -1;
	o->temp[0] = '\0';
}

// The temporary file, complete, copied to the stream from its start.
static bool copy_out(output *o)
{
	uint8_t buf[CHUNK];
	ssize_t got;

	if (lseek(o->fd, 0, SEEK_SET) < 0)
		return false;
	while ((got = read_full(o->fd, buf, sizeof(buf))) > 0)
		if (!write_full(o->stream, buf, (size_t)got))
			return false;
	return got == 0;
}

// A regular file gets the mode a new file would get, is put on disk and
// renamed over the target.
static bool rename_into_place(output *o)
{
	const mode_t mask = umask(0);

	umask(mask);
	if (fchmod(o->fd, 0666 & ~mask) < 0 || fsync(o->fd) < 0)
		return false;
	const int fd = o->fd;

	o->fd = -1;
	if (close(fd) < 0 || rename(o->temp, o->target) < 0)
		return false;
	o->temp[0] = '\0';
	return true;
}

int output_commit(output *o)
{
	bool ok;

	if (o->stream < 0) {
		ok = rename_into_place(o);
	} else {
		ok = copy_out(o);
		if (o->stream > STDOUT_FILENO) {
			ok = close(o->stream) == 0 && ok;
			o->stream = -1;
		}
	}
	if (!ok)
		error("%s: %s", o->name, strerror(errno));
	output_discard(o);
	return ok ? STATUS_OK : STATUS_ERROR;
}

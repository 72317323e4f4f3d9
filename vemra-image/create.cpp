// SPDX-License-Identifier: MIT
#include "create.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "board_config.h"
#include "crc.h"
#include "image.h"
#include "io.h"
#include "output.h"

// The program the launcher hands over to, where it looks for it in the
// unpacked tree.
static const char PROGRAM[] = BOARD_APP_PROGRAM;

// Starts tar packing the entries of `dir` to a pipe; returns its read end.
// The members are named relative to DIR ("home/bin/..."), with no "./"
// entry: unpacked as root in /tmp, a "./" member would give /tmp the mode
// and owner of DIR. Files are recorded as root's, the owner they have on
// the board, whoever packs them; --sort=name makes the archive repeatable.
static int start_tar(const char *dir, pid_t *pid)
{
	std::vector<std::string> names;
	DIR *d = opendir(dir);

	if (!d) {
		error("%s: %s", dir, strerror(errno));
		return -1;
	}
	for (;;) {
		errno = 0;
		const dirent *e = readdir(d);

		if (!e)
			break;
		if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
			names.push_back(e->d_name);
	}
	if (errno) {
		error("%s: %s", dir, strerror(errno));
		closedir(d);
		return -1;
	}
	closedir(d);
	if (names.empty()) {
		error("%s: empty directory, nothing to pack", dir);
		return -1;
	}
	std::sort(names.begin(), names.end());

	std::vector<const char *> argv = { "tar", "-C", dir, "--sort=name", "--owner=0",
					   "--group=0", "--numeric-owner", "-czf", "-", "--" };
	for (const std::string &n : names)
		argv.push_back(n.c_str());
	argv.push_back(nullptr);

	int p[2];

	if (pipe2(p, O_CLOEXEC) < 0) {
		error("pipe: %s", strerror(errno));
		return -1;
	}
	*pid = fork();
	if (*pid < 0) {
		error("fork: %s", strerror(errno));
		close(p[0]);
		close(p[1]);
		return -1;
	}
	if (*pid == 0) {
		dup2(p[1], STDOUT_FILENO);
		execvp("tar", const_cast<char *const *>(argv.data()));
		error("tar: %s", strerror(errno));
		_exit(127);
	}
	close(p[1]);
	return p[0];
}

static int open_payload(const char *path)
{
	const int fd = open(path, O_RDONLY | O_CLOEXEC);
	struct stat st;

	if (fd < 0 || fstat(fd, &st) < 0) {
		error("%s: %s", path, strerror(errno));
	} else if (S_ISDIR(st.st_mode)) {
		error("%s: %s (use -C to pack a directory)", path, strerror(EISDIR));
	} else if (S_ISREG(st.st_mode) && (uint64_t)st.st_size > IMAGE_MAX_LENGTH) {
		// Refused before anything is copied.
		error("%s: too large: %llu bytes, at most %u", path,
		      (unsigned long long)st.st_size, IMAGE_MAX_LENGTH);
	} else {
		return fd;
	}
	if (fd >= 0)
		close(fd);
	return -1;
}

// Copies the payload after a 16-byte gap for the header. Sets *length and
// *gzip. False, having said why, on an error.
static bool copy_payload(int in, const char *in_name, int out, const char *out_name,
			 uint32_t *length, bool *gzip)
{
	static const uint8_t gap[IMAGE_HEADER_SIZE] = {};
	uint8_t buf[CHUNK];
	uint64_t total = 0;
	ssize_t got;

	if (!write_full(out, gap, sizeof(gap))) {
		error("%s: %s", out_name, strerror(errno));
		return false;
	}
	*gzip = false;
	while ((got = read_full(in, buf, sizeof(buf))) > 0) {
		if (total == 0)
			*gzip = starts_like_gzip(buf, (uint64_t)got);
		total += (uint64_t)got;
		if (total > IMAGE_MAX_LENGTH) {
			error("%s: too large: more than %u bytes", in_name, IMAGE_MAX_LENGTH);
			return false;
		}
		if (!write_full(out, buf, (size_t)got)) {
			error("%s: %s", out_name, strerror(errno));
			return false;
		}
	}
	if (got < 0) {
		error("%s: %s", in_name, strerror(errno));
		return false;
	}
	*length = (uint32_t)total;
	return true;
}

// The checksum covers the header after its crc word, then the payload; its
// register starts with all bits set.
static const uint32_t CRC_START = 4;
static const uint32_t CRC_INIT = 0xFFFFFFFF;

// Fills in the header of the container whose payload is in the file.
static bool write_header(int fd, const char *name, uint32_t length, uint32_t reserved)
{
	image_header h = { 0, length, IMAGE_MAGIC, reserved };
	uint8_t hdr[IMAGE_HEADER_SIZE];
	uint8_t buf[CHUNK];
	uint64_t pos = IMAGE_HEADER_SIZE;
	const uint64_t end = pos + length;

	encode_image_header(&h, hdr);
	h.crc = gen_crc(hdr + CRC_START, IMAGE_HEADER_SIZE - CRC_START, CRC_INIT);
	while (pos < end) {
		const size_t n = (size_t)std::min<uint64_t>(end - pos, sizeof(buf));
		const ssize_t got = pread(fd, buf, n, (off_t)pos);

		if (got < 0 && errno == EINTR)
			continue;
		if (got <= 0) {
			error("%s: %s", name, got < 0 ? strerror(errno) : "changed while written");
			return false;
		}
		h.crc = gen_crc(buf, (uint32_t)got, h.crc);
		pos += (uint64_t)got;
	}
	encode_image_header(&h, hdr);
	if (pwrite(fd, hdr, sizeof(hdr), 0) != (ssize_t)sizeof(hdr)) {
		error("%s: %s", name, strerror(errno));
		return false;
	}
	return true;
}

// A tree without the program makes a valid image that no board runs: said,
// but not refused, since a tree may be packed for other uses too.
static void check_tree(const char *dir)
{
	const std::string path = std::string(dir) + "/" + PROGRAM;
	struct stat st;

	if (stat(path.c_str(), &st) < 0 || !S_ISREG(st.st_mode))
		error("warning: %s holds no %s, the program the launcher starts", dir, PROGRAM);
}

int cmd_create(const char *out, uint32_t reserved, const char *payload, const char *dir)
{
	pid_t tar = -1;
	const int in = dir ? start_tar(dir, &tar) : open_payload(payload);
	const char *in_name = dir ? "tar" : payload;

	if (in < 0)
		return STATUS_ERROR;

	output o;
	const int fd = output_open(out, &o);
	uint32_t length = 0;
	bool gzip = false;
	bool ok = fd >= 0 && copy_payload(in, in_name, fd, o.name, &length, &gzip);

	close(in); // a tar still writing gets SIGPIPE
	if (tar > 0)
		ok = child_succeeded(tar, "tar") && ok;
	if (fd < 0)
		return STATUS_ERROR;
	if (!ok || !write_header(fd, o.name, length, reserved)) {
		output_discard(&o);
		return STATUS_ERROR;
	}
	const int status = output_commit(&o);

	if (status == STATUS_OK && dir)
		check_tree(dir);
	if (status == STATUS_OK && !gzip)
		error("warning: %s does not start like a gzip file; the launcher unpacks "
		      "the payload with tar -z", payload);
	return status;
}

// SPDX-License-Identifier: MIT
#include "slots.h"

#include "board_config.h"
#include "console.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

uint8_t piece[64 * 1024];

static const char USER_DIR[] = BOARD_USER_DIR;

const char *verdict(image_state s)
{
	if (s == IMAGE_VALID)
		return "valid";
	return image_header_invalid(s) ? "invalid-header" : "checksum-failed";
}

bool check_file(const char *path, image_check *c)
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

int check_slot(int n, image_check *c)
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

// When the jffs2 filesystem is not mounted, /user is a directory of the
// root filesystem: an image written there would be gone at the next boot.
bool user_mounted(void)
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

bool write_all(int fd, const uint8_t *buf, uint32_t count)
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

int create_anew(const char *path)
{
	if (unlink(path) != 0 && errno != ENOENT)
		return -1;
	return open(path, O_CREAT | O_EXCL | O_NOFOLLOW | O_RDWR | O_CLOEXEC, 0644);
}

bool write_beside(const char *temp, const uint8_t *bytes, uint32_t size)
{
	const int fd = create_anew(temp);

	if (fd < 0) {
		error("%s: %s", temp, strerror(errno));
		return false;
	}
	if (write_all(fd, bytes, size) && fsync(fd) == 0 && close(fd) == 0)
		return true;
	error("%s: %s", temp, strerror(errno));
	close(fd); // EBADF when it was closed already
	unlink(temp);
	return false;
}

bool replace_file(const char *path, const uint8_t *bytes, uint32_t size)
{
	char temp[PATH_MAX];

	snprintf(temp, sizeof temp, "%s.new", path);
	if (!write_beside(temp, bytes, size))
		return false;
	if (rename(temp, path) == 0 && sync_dir(IMAGES_DIR))
		return true;
	error("%s: %s", path, strerror(errno));
	unlink(temp);
	return false;
}

bool sync_dir(const char *path)
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

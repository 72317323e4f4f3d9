#include "fake_mtd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mtd/mtd-user.h>

fake_flash fake;

static const int FIRST_FD = 100; // far above the test process's own descriptors

uint8_t fake_pattern(uint64_t offset)
{
	return static_cast<uint8_t>(offset * 7 + (offset >> 10));
}

void fake_reset(uint32_t base, uint32_t bytes)
{
	fake = fake_flash{ 4 << 20, 128 << 10, false, base, std::vector<uint8_t>(bytes), -1, UINT32_MAX, UINT32_MAX, {}, {} };
	for (uint32_t i = 0; i < bytes; i++)
		fake.data[i] = fake_pattern(static_cast<uint64_t>(base) + i);
}

// Logs a request and returns the held bytes it reaches, or NULL (errno
// EIO) once the power is cut or outside them (a test failure; a negative
// offset is one from 2 GiB on met by a 32-bit off_t).
static uint8_t *request(char op, int fd, int64_t offset, uint64_t length, const void *buffer)
{
	struct stat out;

	fake.requests.push_back({ op, fd, static_cast<uint32_t>(offset), static_cast<uint32_t>(length), buffer,
				  fstat(1, &out) == 0 ? static_cast<long>(out.st_size) : -1 });
	errno = EIO;
	if (fake.power == 0)
		return nullptr; // and stays cut
	if (fake.power > 0)
		fake.power--;
	if (offset < fake.base || offset - fake.base + length > fake.data.size()) {
		ADD_FAILURE() << "flash request at 0x" << std::hex << offset << " outside the fake's bytes";
		return nullptr;
	}
	return fake.data.data() + (offset - fake.base);
}

static int fake_ioctl(int fd, unsigned long req, void *arg)
{
	if (req == MEMGETINFO && !fake.info_refused) {
		*static_cast<mtd_info_user *>(arg) = { MTD_NORFLASH, MTD_CAP_NORFLASH, fake.size, fake.erasesize, 1, 0, 0 };
		return 0;
	}
	if (req != MEMERASE) {
		errno = req == MEMGETINFO ? EIO : ENOTTY;
		return -1;
	}
	const erase_info_user e = *static_cast<erase_info_user *>(arg);
	uint8_t *p = request('e', fd, e.start, e.length, nullptr);
	if (!p)
		return -1;
	if (!fake.erasesize || e.start % fake.erasesize || e.length % fake.erasesize)
		ADD_FAILURE() << "MEMERASE of a part of an erase block at 0x" << std::hex << e.start;
	memset(p, 0xFF, e.length);
	return 0;
}

// The wrapped calls: the board layer is built with a 64-bit off_t and
// calls the 64-bit names.
extern "C" {
int __real_open64(const char *path, int flags, ...);
int __real_ioctl(int fd, unsigned long req, ...);
ssize_t __real_pread64(int fd, void *buf, size_t n, __off64_t off);
ssize_t __real_pwrite64(int fd, const void *buf, size_t n, __off64_t off);

int __wrap_open64(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	const int mode = flags & O_CREAT ? va_arg(ap, int) : 0;
	va_end(ap);
	if (strncmp(path, "/dev/mtd-", 9) != 0)
		return __real_open64(path, flags, mode);
	fake.opens.emplace_back(path, flags);
	return FIRST_FD + static_cast<int>(fake.opens.size()) - 1;
}

static bool is_fake(int fd)
{
	return fd >= FIRST_FD && fd < FIRST_FD + static_cast<int>(fake.opens.size());
}

int __wrap_ioctl(int fd, unsigned long req, ...)
{
	va_list ap;
	va_start(ap, req);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	return is_fake(fd) ? fake_ioctl(fd, req, arg) : __real_ioctl(fd, req, arg);
}

ssize_t __wrap_pread64(int fd, void *buf, size_t n, __off64_t off)
{
	if (!is_fake(fd))
		return __real_pread64(fd, buf, n, off);
	uint8_t *p = request('r', fd, off, n, buf);
	if (!p)
		return -1;
	n = std::min<size_t>(n, fake.read_limit);
	memcpy(buf, p, n);
	return static_cast<ssize_t>(n);
}

// NOR flash: only erased bytes are written, and programming only clears bits.
ssize_t __wrap_pwrite64(int fd, const void *buf, size_t n, __off64_t off)
{
	if (!is_fake(fd))
		return __real_pwrite64(fd, buf, n, off);
	uint8_t *p = request('w', fd, off, n, buf);
	if (!p)
		return -1;
	if (std::count(p, p + n, 0xFF) != static_cast<long>(n))
		ADD_FAILURE() << "pwrite over flash that is not erased at 0x" << std::hex << off;
	n = std::min<size_t>(n, fake.write_limit);
	for (size_t i = 0; i < n; i++)
		p[i] &= static_cast<const uint8_t *>(buf)[i];
	return static_cast<ssize_t>(n);
}
}

// SPDX-License-Identifier: MIT
#include "fake_board.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <dirent.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <mtd/mtd-user.h>

fake_flash fake;

static fake_vpd &shared_vpd(void)
{
	void *m = mmap(nullptr, sizeof(fake_vpd), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);

	if (m == MAP_FAILED)
		abort();
	return *static_cast<fake_vpd *>(m);
}

fake_vpd &vpd = shared_vpd();

static const int FIRST_FD = 100; // far above the test process's own descriptors
static const int EEPROM_ADDR = 0x54, SUMMIT_ADDR = 0x4F;
static int i2c_addr; // selected by I2C_SLAVE
static bool user_file[1024]; // descriptors open for writing on /user

uint8_t fake_pattern(uint64_t offset)
{
	return static_cast<uint8_t>(offset * 7 + (offset >> 10));
}

void fake_reset(uint32_t base, uint32_t bytes)
{
	fake = fake_flash{ 4 << 20, 128 << 10, false, base, std::vector<uint8_t>(bytes), -1, -1, false,
			   UINT32_MAX, UINT32_MAX, {}, {}, {}, -1, -1, {}, -1, -1, nullptr };
	for (uint32_t i = 0; i < bytes; i++)
		fake.data[i] = fake_pattern(static_cast<uint64_t>(base) + i);
	vpd = fake_vpd{};
}

void fake_wait(uint64_t us)
{
	vpd.now_us += us;
}

// ON: served. CUT_NOW: the power is cut inside this request, which leaves
// what fake.torn says. OFF: cut before it, or earlier (errno EIO).
enum power_state { ON, CUT_NOW, OFF };

static power_state powered(char op, int fd, uint32_t offset, uint32_t length, const void *buffer)
{
	fake.requests.push_back({ op, fd, offset, length, buffer });
	errno = EIO;
	if (fake.power == 0) {
		const bool first = !fake.dark;

		fake.dark = true; // and stays cut
		return first && fake.torn >= 0 ? CUT_NOW : OFF;
	}
	if (fake.power > 0)
		fake.power--;
	return ON;
}

// The bytes of the partition that fd opened: its own, or the shared ones.
static std::vector<uint8_t> &bytes_of(int fd, uint32_t *base)
{
	const std::string &path = fake.opens[fd - FIRST_FD].first;

	*base = 0;
	for (auto &p : fake.parts)
		if (p.first == path)
			return p.second;
	*base = fake.base;
	return fake.data;
}

// Logs a request and returns the held bytes it reaches, or NULL (errno
// EIO) once the power is cut or outside them (a test failure; a negative
// offset is one from 2 GiB on met by a 32-bit off_t). *half: the power is
// cut inside this request, which does the first half of its work.
static uint8_t *request(char op, int fd, int64_t offset, uint64_t length, const void *buffer, bool *half)
{
	uint32_t base;
	std::vector<uint8_t> &bytes = bytes_of(fd, &base);
	const power_state p = powered(op, fd, static_cast<uint32_t>(offset), static_cast<uint32_t>(length), buffer);

	*half = p == CUT_NOW;
	if (p == OFF)
		return nullptr;
	if (offset < base || offset - base + length > bytes.size()) {
		ADD_FAILURE() << "flash request at 0x" << std::hex << offset << " outside the fake's bytes";
		return nullptr;
	}
	return bytes.data() + (offset - base);
}

// A register read that gets no answer.
static bool unanswered(int reg)
{
	if (fake.dark)
		return true;
	if ((reg != fake.unreadable && fake.unreadable != 256) || fake.unreadable_reads == 0)
		return false;
	if (fake.unreadable_reads > 0)
		fake.unreadable_reads--;
	return true;
}

// SMBus byte data: the EEPROM's registers, no answer at all during the
// write cycle; the Summit device takes writes.
static int smbus(int fd, const i2c_smbus_ioctl_data *d)
{
	errno = ENXIO;
	if (i2c_addr == SUMMIT_ADDR && d->read_write == I2C_SMBUS_WRITE)
		return 0;
	if (i2c_addr != EEPROM_ADDR || d->size != I2C_SMBUS_BYTE_DATA || vpd.now_us < vpd.busy_until_us)
		return -1;
	if (d->read_write == I2C_SMBUS_READ) {
		if (unanswered(d->command))
			return -1;
		d->data->byte = vpd.bytes[d->command];
		return 0;
	}
	if (fake.beside >= 0 && fake.beside-- == 0)
		fake.beside_run();
	switch (powered('v', fd, d->command, d->data->byte, nullptr)) {
	case OFF:
		return -1;
	case CUT_NOW:
		vpd.bytes[d->command] = static_cast<uint8_t>(fake.torn);
		break;
	case ON:
		vpd.bytes[d->command] = d->data->byte;
		break;
	}
	vpd.busy_until_us = vpd.now_us + vpd.write_cycle_us;
	return 0;
}

static int fake_ioctl(int fd, unsigned long req, void *arg)
{
	if (req == I2C_SLAVE) {
		i2c_addr = static_cast<int>(reinterpret_cast<uintptr_t>(arg));
		return 0;
	}
	if (req == I2C_SMBUS)
		return smbus(fd, static_cast<const i2c_smbus_ioctl_data *>(arg));
	if (req == MEMGETINFO && !fake.info_refused) {
		*static_cast<mtd_info_user *>(arg) = { MTD_NORFLASH, MTD_CAP_NORFLASH, fake.size, fake.erasesize, 1, 0, 0 };
		return 0;
	}
	if (req != MEMERASE) {
		errno = req == MEMGETINFO ? EIO : ENOTTY;
		return -1;
	}
	const erase_info_user e = *static_cast<erase_info_user *>(arg);
	bool half;
	uint8_t *p = request('e', fd, e.start, e.length, nullptr, &half);
	if (!p)
		return -1;
	if (!fake.erasesize || e.start % fake.erasesize || e.length % fake.erasesize)
		ADD_FAILURE() << "MEMERASE of a part of an erase block at 0x" << std::hex << e.start;
	memset(p, 0xFF, half ? e.length / 2 : e.length);
	return half ? -1 : 0;
}

// A path of the board: under the root when one is set.
static std::string board_path(const char *path)
{
	const std::string &r = fake.root;

	if (r.empty() || path[0] != '/' || !strncmp(path, "/dev/", 5) || !strncmp(path, "/proc/", 6) ||
	    !strncmp(path, r.c_str(), r.size()))
		return path;
	return r + path;
}

static bool on_user(const char *path)
{
	return !fake.root.empty() && strncmp(path, "/user", 5) == 0;
}

// A change to the board's persistent files, against the power.
static bool user_change(const char *path)
{
	return !on_user(path) || powered('f', -1, 0, 0, nullptr) == ON;
}

// The wrapped calls: the board layer and vemra-boot are built with a
// 64-bit off_t and call the 64-bit names.
extern "C" {
int __real_open64(const char *path, int flags, ...);
int __real_ioctl(int fd, unsigned long req, ...);
ssize_t __real_pread64(int fd, void *buf, size_t n, __off64_t off);
ssize_t __real_pwrite64(int fd, const void *buf, size_t n, __off64_t off);
FILE *__real_fopen64(const char *path, const char *mode);
int __real_stat64(const char *path, struct stat64 *st);
int __real_statvfs64(const char *path, struct statvfs64 *st);
int __real_mkdir(const char *path, mode_t mode);
int __real_rename(const char *from, const char *to);
int __real_unlink(const char *path);
DIR *__real_opendir(const char *path);
int __real_close(int fd);
ssize_t __real_write(int fd, const void *buf, size_t n);
int __real_flock(int fd, int op);

int __wrap_open64(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	const int mode = flags & O_CREAT ? va_arg(ap, int) : 0;
	va_end(ap);
	if (strncmp(path, "/dev/mtd-", 9) != 0 && strncmp(path, "/dev/i2c-", 9) != 0) {
		if ((flags & (O_CREAT | O_TRUNC)) && !user_change(path))
			return -1;
		const int fd = __real_open64(board_path(path).c_str(), flags, mode);
		if (fd >= 0 && fd < 1024)
			user_file[fd] = on_user(path) && (flags & O_ACCMODE) != O_RDONLY;
		return fd;
	}
	fake.opens.emplace_back(path, flags);
	return FIRST_FD + static_cast<int>(fake.opens.size()) - 1;
}

FILE *__wrap_fopen64(const char *path, const char *mode)
{
	return __real_fopen64(board_path(path).c_str(), mode);
}

int __wrap_stat64(const char *path, struct stat64 *st)
{
	const int rc = __real_stat64(board_path(path).c_str(), st);

	if (rc == 0 && !fake.root.empty() && strcmp(path, "/user") == 0)
		st->st_dev++; // a filesystem mounted there
	return rc;
}

int __wrap_statvfs64(const char *path, struct statvfs64 *st)
{
	return __real_statvfs64(board_path(path).c_str(), st);
}

int __wrap_mkdir(const char *path, mode_t mode)
{
	return user_change(path) ? __real_mkdir(board_path(path).c_str(), mode) : -1;
}

// jffs2's rename: the new name's entry first, then the old name's
// removal; a power cut between them leaves both names on the file.
int __wrap_rename(const char *from, const char *to)
{
	const std::string f = board_path(from), t = board_path(to);

	if (!on_user(to))
		return __real_rename(f.c_str(), t.c_str());
	if (!user_change(to) || __real_rename(f.c_str(), t.c_str()) != 0 || link(t.c_str(), f.c_str()) != 0)
		return -1;
	return user_change(from) ? __real_unlink(f.c_str()) : -1;
}

DIR *__wrap_opendir(const char *path)
{
	return __real_opendir(board_path(path).c_str());
}

int __wrap_unlink(const char *path)
{
	return user_change(path) ? __real_unlink(board_path(path).c_str()) : -1;
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

int __wrap_close(int fd)
{
	if (is_fake(fd))
		return 0;
	if (fd >= 0 && fd < 1024)
		user_file[fd] = false;
	return __real_close(fd);
}

// A write to a file on /user, against the power: cut inside it, half of
// it lands.
ssize_t __wrap_write(int fd, const void *buf, size_t n)
{
	if (is_fake(fd))
		return static_cast<ssize_t>(n); // the multiplexer takes its channel mask
	if (fd < 0 || fd >= 1024 || !user_file[fd])
		return __real_write(fd, buf, n);
	switch (powered('d', fd, 0, static_cast<uint32_t>(n), buf)) {
	case ON:
		return __real_write(fd, buf, n);
	case CUT_NOW:
		__real_write(fd, buf, n / 2);
		errno = EIO;
		break;
	case OFF:
		break;
	}
	return -1;
}

// A process that is about to wait for a lock says so first.
int __wrap_flock(int fd, int op)
{
	if (fake.lock_waits < 0 || (op & LOCK_NB))
		return __real_flock(fd, op);
	if (__real_flock(fd, op | LOCK_NB) == 0)
		return 0;
	if (errno != EWOULDBLOCK || __real_write(fake.lock_waits, "W", 1) != 1)
		return -1;
	return __real_flock(fd, op);
}

// The board's clock moves on at once.
int __wrap_nanosleep(const struct timespec *t, struct timespec *)
{
	vpd.now_us += static_cast<uint64_t>(t->tv_sec) * 1000000 + static_cast<uint64_t>(t->tv_nsec) / 1000;
	return 0;
}

ssize_t __wrap_pread64(int fd, void *buf, size_t n, __off64_t off)
{
	if (!is_fake(fd))
		return __real_pread64(fd, buf, n, off);
	bool half;
	uint8_t *p = request('r', fd, off, n, buf, &half);
	if (!p || half)
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
	bool half;
	uint8_t *p = request('w', fd, off, n, buf, &half);
	if (!p)
		return -1;
	if (std::count(p, p + n, 0xFF) != static_cast<long>(n))
		ADD_FAILURE() << "pwrite over flash that is not erased at 0x" << std::hex << off;
	n = std::min<size_t>(half ? n / 2 : n, fake.write_limit);
	for (size_t i = 0; i < n; i++)
		p[i] &= static_cast<const uint8_t *>(buf)[i];
	return half ? -1 : static_cast<ssize_t>(n);
}
}

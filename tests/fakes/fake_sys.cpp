#include "fake_sys.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <map>

#include <fcntl.h>
#include <sys/types.h>

std::vector<std::string> fake_log;

static std::vector<fake_fault> faults;
static std::vector<int> seen; // matching calls so far, per fault
static std::map<int, fake_file> files;
static int next_fd;
static const int FIRST_FD = 100; // far above the real descriptors of the test process

void fake_fail(const fake_fault &f)
{
	faults.push_back(f);
	seen.push_back(0);
}

const fake_fault *fake_fault_hit(fake_op op, int target)
{
	for (size_t i = 0; i < faults.size(); i++)
		if (faults[i].op == op && (faults[i].target < 0 || faults[i].target == target) &&
		    ++seen[i] == faults[i].nth)
			return &faults[i];
	return nullptr;
}

void fake_reset()
{
	fake_log.clear();
	faults.clear();
	seen.clear();
	files.clear();
	next_fd = FIRST_FD;
	fake_i2c_reset();
	fake_mtd_reset();
}

std::string fake_fmt(const char *fmt, ...)
{
	char buf[256];
	va_list ap;

	va_start(ap, fmt);
	vsnprintf(buf, sizeof buf, fmt, ap);
	va_end(ap);
	return buf;
}

// The wrapped calls. The board layer is built with a 64-bit off_t, so it
// calls open64, pread64 and pwrite64; code built without it calls the
// plain names, so both are wrapped. glibc redirects ioctl to
// __ioctl_time64 only for a 64-bit time_t on a 32-bit target.
extern "C" {
int __real_open(const char *path, int flags, ...);
int __real_open64(const char *path, int flags, ...);
int __real_close(int fd);
int __real_ioctl(int fd, unsigned long req, ...);
ssize_t __real_write(int fd, const void *buf, size_t n);
ssize_t __real_pread(int fd, void *buf, size_t n, __off_t off);
ssize_t __real_pread64(int fd, void *buf, size_t n, __off64_t off);
ssize_t __real_pwrite(int fd, const void *buf, size_t n, __off_t off);
ssize_t __real_pwrite64(int fd, const void *buf, size_t n, __off64_t off);
}

static long sys_result(long r)
{
	if (r >= 0)
		return r;
	errno = static_cast<int>(-r);
	return -1;
}

static fake_file *lookup(int fd)
{
	auto it = files.find(fd);
	return it == files.end() ? nullptr : &it->second;
}

// Opens a fake device; false when path is no fake device's.
static bool fake_open(const char *path, int flags, int *fd)
{
	fake_file f{};
	long r;

	if (!strncmp(path, "/dev/i2c-", 9))
		r = fake_i2c_open(path, f);
	else if (!strncmp(path, "/dev/mtd-", 9))
		r = fake_mtd_open(path, flags, f);
	else
		return false;
	fake_log.push_back(fake_fmt("open %s%s", path, r < 0 ? " failed" : ""));
	if (r >= 0) {
		files[next_fd] = f;
		r = next_fd++;
	}
	*fd = static_cast<int>(sys_result(r));
	return true;
}

#define WRAP_OPEN(name)                                                        \
	extern "C" int __wrap_##name(const char *path, int flags, ...)        \
	{                                                                      \
		va_list ap;                                                    \
		int fd, mode = 0;                                              \
		va_start(ap, flags);                                           \
		if (flags & (O_CREAT | O_TMPFILE))                             \
			mode = va_arg(ap, int);                                \
		va_end(ap);                                                    \
		return fake_open(path, flags, &fd) ? fd : __real_##name(path, flags, mode); \
	}
WRAP_OPEN(open)
WRAP_OPEN(open64)

// A negative descriptor, or one of the fake's that is not open, is logged
// and refused.
extern "C" int __wrap_close(int fd)
{
	fake_file *f = lookup(fd);

	if (fd >= 0 && fd < FIRST_FD)
		return __real_close(fd);
	if (!f) {
		fake_log.push_back(fake_fmt("close %d failed", fd));
		return static_cast<int>(sys_result(-EBADF));
	}
	fake_log.push_back(fake_fmt("close %s-%d", f->kind == FAKE_I2C ? "i2c" : "mtd", f->dev));
	files.erase(fd);
	return 0;
}

// A request on a negative descriptor fails with EBADF, as the kernel
// answers it (qemu-user answers an ioctl it does not know with ENOSYS).
static int ioctl_call(int fd, unsigned long req, unsigned long arg)
{
	fake_file *f = lookup(fd);

	if (fd < 0)
		return static_cast<int>(sys_result(-EBADF));
	if (!f)
		return __real_ioctl(fd, req, arg);
	return static_cast<int>(sys_result(f->kind == FAKE_I2C ? fake_i2c_ioctl(*f, req, arg)
							      : fake_mtd_ioctl(*f, req, arg)));
}

#define WRAP_IOCTL(name)                                                       \
	extern "C" int __wrap_##name(int fd, unsigned long req, ...)          \
	{                                                                      \
		va_list ap;                                                    \
		va_start(ap, req);                                             \
		unsigned long arg = va_arg(ap, unsigned long);                 \
		va_end(ap);                                                    \
		return ioctl_call(fd, req, arg);                               \
	}
WRAP_IOCTL(ioctl)
#ifdef __USE_TIME_BITS64
WRAP_IOCTL(__ioctl_time64)
#endif

extern "C" ssize_t __wrap_write(int fd, const void *buf, size_t n)
{
	fake_file *f = lookup(fd);

	if (!f)
		return __real_write(fd, buf, n);
	return sys_result(f->kind == FAKE_I2C ? fake_i2c_write(*f, buf, n) : -EINVAL);
}

#define WRAP_RW(name, buf_t, off_t_, in, out)                                  \
	extern "C" ssize_t __wrap_##name(int fd, buf_t buf, size_t n, off_t_ off) \
	{                                                                      \
		fake_file *f = lookup(fd);                                     \
		if (!f)                                                        \
			return __real_##name(fd, buf, n, off);                 \
		return sys_result(f->kind == FAKE_MTD ? fake_mtd_rw(*f, in, out, n, off) : -ESPIPE); \
	}
WRAP_RW(pread, void *, __off_t, buf, nullptr)
WRAP_RW(pread64, void *, __off64_t, buf, nullptr)
WRAP_RW(pwrite, const void *, __off_t, nullptr, buf)
WRAP_RW(pwrite64, const void *, __off64_t, nullptr, buf)

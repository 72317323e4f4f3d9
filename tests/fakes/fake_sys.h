// Fake kernel devices for the board layer's tests. open, close, ioctl,
// write, pread and pwrite (with their 64-bit-offset names) are replaced at
// link time (target test_fake_dev brings the --wrap options): paths under
// "/dev/i2c-" reach the fake I2C buses (fake_i2c.h), paths under
// "/dev/mtd-" the fake flash partitions (fake_mtd.h); every other path and
// descriptor reaches the real system. Fake descriptors are handed out from
// 100 up, in the order of the opens.
#ifndef TESTS_FAKES_FAKE_SYS_H
#define TESTS_FAKES_FAKE_SYS_H

#include <string>
#include <vector>

// What the fake devices saw, in order: opens, closes, the I2C transfers
// that went out on a bus, the MTD requests.
extern std::vector<std::string> fake_log;

enum fake_op { FAKE_SELECT, FAKE_XFER, FAKE_GETINFO, FAKE_ERASE, FAKE_PREAD, FAKE_PWRITE };

// The nth call (from 1; 0: never) of kind op to target (an I2C address;
// -1: any) fails with err, or, when err is 0, transfers only `result` bytes.
struct fake_fault {
	fake_op op;
	int target;
	int nth;
	int err;
	long result;
};
void fake_fail(const fake_fault &f);

// Every device present and fresh, no fault, no open file, empty log.
void fake_reset();

std::string fake_fmt(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Driver side: an open fake file, and the calls the drivers implement.
// Results are >= 0, or -errno.
enum fake_kind { FAKE_I2C, FAKE_MTD };
struct fake_file {
	fake_kind kind;
	int dev;            // bus number, partition index
	unsigned long addr; // I2C: the selected address
};
const fake_fault *fake_fault_hit(fake_op op, int target);
long fake_i2c_open(const char *path, fake_file &f);
long fake_i2c_ioctl(fake_file &f, unsigned long req, unsigned long arg);
long fake_i2c_write(fake_file &f, const void *buf, size_t n);
long fake_mtd_open(const char *path, int flags, fake_file &f);
long fake_mtd_ioctl(fake_file &f, unsigned long req, unsigned long arg);
// pread into `in`, or pwrite from `out`.
long fake_mtd_rw(const fake_file &f, void *in, const void *out, size_t n, long long off);
void fake_i2c_reset();
void fake_mtd_reset();

#endif

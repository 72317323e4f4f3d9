#include "fake_mtd.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sys/ioctl.h>

#include <mtd/mtd-user.h>

fake_part fake_parts[6];
std::vector<const void *> fake_mtd_buffers;

void fake_mtd_reset()
{
	static const char *const names[6] = { "uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue" };
	static const uint32_t sizes[6] = { 0x40000, 0x20000, 0x20000, 0x400000, 0x100000, 0x100000 };

	for (int p = 0; p < 6; p++) {
		fake_parts[p] = fake_part{ names[p], std::vector<uint8_t>(sizes[p]), 0x20000, true, -1 };
		for (uint32_t i = 0; i < sizes[p]; i++)
			fake_parts[p].data[i] = static_cast<uint8_t>((i * 7 + (i >> 9) + p) & 0x7F);
	}
	fake_mtd_buffers.clear();
}

fake_part &fake_mtd(const char *name)
{
	for (fake_part &p : fake_parts)
		if (!strcmp(p.name, name))
			return p;
	abort();
}

long fake_mtd_open(const char *path, int flags, fake_file &f)
{
	for (int p = 0; p < 6; p++) {
		if (!strcmp(path + strlen("/dev/mtd-"), fake_parts[p].name) && fake_parts[p].present) {
			fake_parts[p].flags = flags;
			f = fake_file{ FAKE_MTD, p, 0 };
			return 0;
		}
	}
	return -ENOENT;
}

static void log_req(const char *what, const fake_file &f, long long off, unsigned long n)
{
	fake_log.push_back(fake_fmt("%s %s 0x%llx 0x%lx", what, fake_parts[f.dev].name, off, n));
}

long fake_mtd_ioctl(fake_file &f, unsigned long req, unsigned long arg)
{
	fake_part &p = fake_parts[f.dev];
	const uint32_t size = static_cast<uint32_t>(p.data.size());
	const fake_fault *hit;

	if (req == MEMGETINFO) {
		fake_log.push_back(fake_fmt("getinfo %s", p.name));
		if ((hit = fake_fault_hit(FAKE_GETINFO, -1)))
			return -hit->err;
		*reinterpret_cast<mtd_info_user *>(arg) =
			mtd_info_user{ MTD_NORFLASH, MTD_CAP_NORFLASH, size, p.erasesize, 1, 0, 0 };
		return 0;
	}
	if (req != MEMERASE)
		return -ENOTTY;
	const auto *e = reinterpret_cast<const erase_info_user *>(arg);
	log_req("erase", f, e->start, e->length);
	if ((hit = fake_fault_hit(FAKE_ERASE, -1)))
		return -hit->err;
	if (e->start % p.erasesize || e->length % p.erasesize || e->start > size ||
	    e->length > size - e->start)
		return -EINVAL;
	memset(p.data.data() + e->start, 0xFF, e->length);
	return 0;
}

long fake_mtd_rw(const fake_file &f, void *in, const void *out, size_t n, long long off)
{
	fake_part &p = fake_parts[f.dev];
	const long long size = static_cast<long long>(p.data.size());

	log_req(in ? "pread" : "pwrite", f, off, n);
	fake_mtd_buffers.push_back(in ? in : out);
	if (off < 0)
		return -EINVAL;
	if (!in && off >= size)
		return -ENOSPC;
	long len = static_cast<long>(std::min<long long>(n, std::max(size - off, 0LL)));
	if (const fake_fault *hit = fake_fault_hit(in ? FAKE_PREAD : FAKE_PWRITE, -1))
		len = hit->err ? -hit->err : std::min(len, hit->result);
	if (in && len > 0)
		memcpy(in, p.data.data() + off, len);
	else if (out) // NOR flash: programming can only clear bits
		for (long i = 0; i < len; i++)
			p.data[off + i] &= static_cast<const uint8_t *>(out)[i];
	return len;
}

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
	static const struct {
		const char *name;
		uint32_t size;
	} layout[6] = {
		{ "uboot", 0x40000 }, { "ubootenv", 0x20000 }, { "devicetree", 0x20000 },
		{ "kernel", 0x400000 }, { "rfs", 0x100000 }, { "rescue", 0x100000 },
	};

	for (int p = 0; p < 6; p++) {
		fake_part &part = fake_parts[p];
		part.name = layout[p].name;
		part.data.resize(layout[p].size);
		for (uint32_t i = 0; i < layout[p].size; i++)
			part.data[i] = static_cast<uint8_t>((i * 7 + (i >> 9) + p) & 0x7F);
		part.erasesize = 0x20000;
		part.present = true;
		part.flags = -1;
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
		if (strcmp(path + strlen("/dev/mtd-"), fake_parts[p].name) || !fake_parts[p].present)
			continue;
		fake_parts[p].flags = flags;
		f = fake_file{ FAKE_MTD, p, 0 };
		return 0;
	}
	return -ENOENT;
}

// The fault that hits this call: a negative result, or the length to
// transfer.
static long limit(fake_op op, long n)
{
	const fake_fault *hit = fake_fault_hit(op, -1);

	if (!hit)
		return n;
	return hit->err ? -hit->err : std::min(n, hit->result);
}

static void log_req(const char *what, const fake_file &f, long long off, unsigned long n)
{
	fake_log.push_back(fake_fmt("%s %s 0x%llx 0x%lx", what, fake_parts[f.dev].name, off, n));
}

long fake_mtd_ioctl(fake_file &f, unsigned long req, unsigned long arg)
{
	fake_part &p = fake_parts[f.dev];
	const uint32_t size = static_cast<uint32_t>(p.data.size());

	if (req == MEMGETINFO) {
		fake_log.push_back(fake_fmt("getinfo %s", p.name));
		const fake_fault *hit = fake_fault_hit(FAKE_GETINFO, -1);
		if (hit)
			return -hit->err;
		auto *info = reinterpret_cast<mtd_info_user *>(arg);
		*info = mtd_info_user{ MTD_NORFLASH, MTD_CAP_NORFLASH, size, p.erasesize, 1, 0, 0 };
		return 0;
	}
	if (req != MEMERASE)
		return -ENOTTY;
	const auto *e = reinterpret_cast<const erase_info_user *>(arg);
	log_req("erase", f, e->start, e->length);
	const fake_fault *hit = fake_fault_hit(FAKE_ERASE, -1);
	if (hit)
		return -hit->err;
	if (e->start % p.erasesize || e->length % p.erasesize || e->start > size ||
	    e->length > size - e->start)
		return -EINVAL;
	memset(p.data.data() + e->start, 0xFF, e->length);
	return 0;
}

long fake_mtd_pread(const fake_file &f, void *buf, size_t n, long long off)
{
	const fake_part &p = fake_parts[f.dev];
	const long long size = static_cast<long long>(p.data.size());

	log_req("pread", f, off, n);
	fake_mtd_buffers.push_back(buf);
	long len = limit(FAKE_PREAD, static_cast<long>(std::min<long long>(n, off < size ? size - off : 0)));
	if (len > 0)
		memcpy(buf, p.data.data() + off, len);
	return len;
}

// NOR flash: programming can only clear bits.
long fake_mtd_pwrite(const fake_file &f, const void *buf, size_t n, long long off)
{
	fake_part &p = fake_parts[f.dev];
	const long long size = static_cast<long long>(p.data.size());

	log_req("pwrite", f, off, n);
	fake_mtd_buffers.push_back(buf);
	if (off >= size)
		return -ENOSPC;
	long len = limit(FAKE_PWRITE, static_cast<long>(std::min<long long>(n, size - off)));
	for (long i = 0; i < len; i++)
		p.data[off + i] &= static_cast<const uint8_t *>(buf)[i];
	return len;
}

// api_flash_write and api_flash_erase on a fake NOR partition, against a
// byte model. Input: geometry (sector size 2^10..2^14, 1..8 sectors; now
// and then an erase size outside the limit), operation, offset, length,
// then the source bytes. Checked beyond "no crash":
//  - result 0 exactly when every touched sector lies inside the partition;
//  - after a write every byte of the range holds the source, and every
//    other byte (of touched sectors too) keeps its value; the fake's NOR
//    programming can only clear bits, so a sector written without its
//    erase shows up as corrupt data;
//  - after an erase the touched sectors are all 0xFF, nothing else moves;
//  - a write that fails at sector k leaves sectors before k written and
//    nothing after k touched;
//  - a refused geometry or range changes nothing;
//  - the console shows the "Flash Write" line, an empty line, one dot per
//    sector written and a newline (the failure message before it).
#include "board_api.h"
#include "console.h"
#include "fake_mtd.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

struct input {
	const uint8_t *p;
	size_t n;
	uint32_t take(int bytes)
	{
		uint32_t v = 0;
		for (int i = 0; i < bytes; i++, p += n ? 1 : 0, n -= n ? 1 : 0)
			v = v << 8 | (n ? *p : 0);
		return v;
	}
};

static void check(bool ok, const char *what)
{
	if (!ok) {
		fprintf(stderr, "model mismatch: %s\n", what);
		abort();
	}
}

static void reopen_flash()
{
	for (int fd : { uboot_fd, uboot_env_fd, device_tree_fd, kernel_fd, rfs_fd, rescue_fd })
		if (fd > 0)
			close(fd);
	fake_log.clear();
	fake_mtd_buffers.clear();
	api_flash_init();
}

static std::string write_banner(uint32_t off, uint32_t len, uint32_t ss)
{
	const uint32_t first = off & (0u - ss);
	const uint32_t last_end = ((off + len - 1) & (0u - ss)) + ss - 1;
	char line[96];

	snprintf(line, sizeof line, "Flash Write 0x%08x to 0x%08x (0x%08x to 0x%08x) %u\n\n", off,
		 off + len - 1, first, last_end, (last_end - first + 1) / ss);
	return line;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	fake_reset();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	input in{ data, size };
	const uint32_t g = in.take(1);
	const bool in_limit = (g & 0xE0) != 0xE0;
	const uint32_t ss = in_limit ? 1024u << (g % 5) : g % 3 ? 1024u * (g % 3) + 512 : 512;
	const uint32_t nsect = 1 + ((g >> 3) & 7);
	const uint64_t psize = (uint64_t)ss * nsect;
	const uint32_t op = in.take(1);
	const bool erase = op & 1;
	// Offsets stay within two sectors past the end, lengths within the
	// partition; bit 7 of op moves the range near the 4 GiB boundary.
	uint32_t off = (uint32_t)(in.take(4) % (psize + 2 * ss));
	const uint32_t len = (uint32_t)(in.take(4) % (psize + 1));
	if (op & 0x80)
		off = 0u - (off % (2 * ss));
	std::string src(in.p, in.p + in.n);
	src.resize(len, '\xA5');

	fake_part &part = fake_mtd("kernel");
	part.erasesize = ss;
	part.data.resize(psize);
	for (uint64_t i = 0; i < psize; i++)
		part.data[i] = (uint8_t)(i * 13 + (i >> 8));
	const std::vector<uint8_t> before = part.data;
	reopen_flash();

	console_begin();
	const int r = erase ? api_flash_erase(kernel_fd, off, len)
			    : api_flash_write((const uint8_t *)src.data(), kernel_fd, off, len);
	const console_capture con = console_end();

	if (!in_limit || (uint64_t)off + len > (1ull << 32)) {
		check(r == -1 && part.data == before, "refused request changed the flash");
		return 0;
	}
	// Touched sectors [first, end) in 64-bit arithmetic.
	const uint64_t first = off & ~(uint64_t)(ss - 1);
	const uint64_t end = len ? ((uint64_t)off + len - 1) / ss * ss + ss
				 : (off % ss ? first + ss : first);
	const bool fits = end == first || end <= psize;
	check((r == 0) == fits, "result");
	const uint64_t done_end = fits ? end : std::max<uint64_t>(first, psize);

	for (uint64_t i = 0; i < psize; i++) {
		uint8_t want = before[i];
		if (i >= first && i < done_end)
			want = erase ? 0xFF : i >= off && i < (uint64_t)off + len
				? (uint8_t)src[i - off] : before[i];
		check(part.data[i] == want, erase ? "erase: flash byte" : "write: flash byte");
	}
	if (erase) {
		check(con.out == (fits ? "" : "Flash Erase mtd erase failed.\n"), "erase output");
	} else {
		std::string want = write_banner(off, len, ss) + std::string((done_end - first) / ss, '.');
		if (!fits)
			want += "Flash Write mtd erase failed.\n";
		check(con.out == want + "\n", "write output");
	}
	check(con.err.empty(), "nothing on standard error");
	return 0;
}

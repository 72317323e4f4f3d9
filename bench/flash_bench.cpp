// The flash layer's device requests per sector, for the budget of
// docs/performance.md (run by scripts/bench.sh): writes and erases of
// 4 MiB at 0 and of 1 MiB at 0x1FF00 (9 sectors), 128 KiB erase blocks,
// on the fake MTD device of the tests. Each sector of a write must cost
// one pread of the whole sector, one MEMERASE of that sector and 128
// pwrites of 1024 bytes; each sector of an erase one MEMERASE. The flash
// layer's own output goes to standard output, the results to standard
// error; exit status 1 when a count is off.
#include "board_api.h"
#include "fake_mtd.h"

#include <cstdio>
#include <vector>

int main()
{
	const struct {
		bool write;
		uint32_t offset, length;
	} cases[] = { { true, 0, 4 << 20 }, { true, 0x1FF00, 1 << 20 }, { false, 0, 4 << 20 }, { false, 0x1FF00, 1 << 20 } };
	bool all_ok = true;

	for (const auto &c : cases) {
		fake_reset(0, 4 << 20);
		api_flash_init();
		const uint32_t sector = fake.erasesize;
		const uint32_t sectors = (c.offset + c.length - 1) / sector - c.offset / sector + 1;
		const std::vector<uint8_t> data(c.length, 0x5A);
		const int rc = c.write ? api_flash_write(data.data(), kernel_fd, c.offset, c.length)
				       : api_flash_erase(kernel_fd, c.offset, c.length);
		unsigned n[3] = {}; // whole-sector preads, whole-sector erases, 1024-byte pwrites
		unsigned other = 0;
		for (const fake_request &r : fake.requests) {
			const int kind = r.op == 'r' ? 0 : r.op == 'e' ? 1 : 2;
			if (r.length == (kind == 2 ? 1024 : sector) && r.offset % r.length == 0)
				n[kind]++;
			else
				other++;
		}
		const bool ok = rc == 0 && other == 0 && n[0] == (c.write ? sectors : 0) && n[1] == sectors &&
				n[2] == (c.write ? sectors * (sector / 1024) : 0);
		fprintf(stderr, "api_flash_%s of %u bytes at 0x%x, %u sectors: per sector %g pread, %g MEMERASE, "
			"%g pwrite of 1024 bytes, %u other requests: %s\n", c.write ? "write" : "erase", c.length,
			c.offset, sectors, n[0] / (double)sectors, n[1] / (double)sectors, n[2] / (double)sectors, other,
			ok ? "ok" : "MISSED");
		all_ok = all_ok && ok;
	}
	return all_ok ? 0 : 1;
}

// SPDX-License-Identifier: MIT
// The checksum and the boot path, for the budgets of docs/performance.md
// (run by scripts/bench.sh):
//
//   bench_boot crc        gen_crc beside zlib's crc32 over 64 MiB: MiB/s,
//                         best of 5 passes, process CPU time
//   bench_boot boot SIZE  under callgrind: one gen_crc pass over an image
//                         of SIZE bytes (dump "gen_crc"), then the
//                         launcher's pass from main to the hand-over with
//                         that image in slot 1 (dump "boot")
//   bench_boot rss SIZE   the resident memory that pass adds, against
//                         length + 16 + 1 MiB; exit status 1 above it
//
// Results go to standard error, the launcher's own output to standard
// output. The pass runs on the fuzz targets' stand-ins for the platform
// (tests/launcher/launcher_stub.h): the image file and the staging archive are real
// files, the unpack command is not run, the pauses return at once.
#include "crc.h"
#include "image.h"
#include "launcher_stub.h"

#include <valgrind/callgrind.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

// The checksum covers the header from this offset on.
static const uint32_t CRC_START = 4;

static void fill_random(uint8_t *buf, size_t n, uint64_t seed)
{
	uint64_t x = seed | 1;

	for (size_t i = 0; i < n; i++) {
		x ^= x >> 12;
		x ^= x << 25;
		x ^= x >> 27;
		buf[i] = static_cast<uint8_t>((x * 0x2545F4914F6CDD1DULL) >> 56);
	}
}

// A valid container of `size` bytes with a random payload, streamed into
// a new temporary file through a static chunk (the heap stays as a fresh
// launcher finds it). Returns the file's path.
static std::string make_image(uint32_t size)
{
	static uint8_t chunk[64 * 1024];
	char path[] = "/tmp/vemra-bench-XXXXXX";
	const int fd = mkstemp(path);
	const uint32_t length = size - IMAGE_HEADER_SIZE;
	image_header h = { 0, length, IMAGE_MAGIC, 0 };
	uint8_t head[IMAGE_HEADER_SIZE];

	if (fd < 0)
		abort();
	encode_image_header(&h, head);
	uint32_t crc = gen_crc(head + CRC_START, IMAGE_HEADER_SIZE - CRC_START, 0xFFFFFFFF);
	for (uint32_t done = 0, n; done < length; done += n) {
		n = length - done < sizeof chunk ? length - done : static_cast<uint32_t>(sizeof chunk);
		fill_random(chunk, n, 0xB007 + done);
		crc = gen_crc(chunk, n, crc);
		if (pwrite(fd, chunk, n, IMAGE_HEADER_SIZE + done) != static_cast<ssize_t>(n))
			abort();
	}
	h.crc = crc;
	encode_image_header(&h, head);
	if (pwrite(fd, head, sizeof head, 0) != sizeof head || close(fd) != 0)
		abort();
	return path;
}

static bool boot(const std::string &image, const char *staging)
{
	stub.slot[0] = image.c_str();
	stub.staging = staging;
	return stub_run(launcher_main).end == STUB_EXECED;
}

static double cpu_seconds()
{
	timespec t;

	clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
	return t.tv_sec + t.tv_nsec / 1e9;
}

template <typename F> static double best_mib_s(F pass, size_t n)
{
	double best = 1e30;

	for (int i = 0; i < 5; i++) {
		const double start = cpu_seconds();
		pass();
		best = std::min(best, cpu_seconds() - start);
	}
	return n / best / (1 << 20);
}

static int crc(void)
{
	const size_t n = 64 << 20;
	std::vector<uint8_t> data(n);
	uint32_t own = 0;
	unsigned long ref = 0;

	fill_random(data.data(), n, 0x5EED);
	const double a = best_mib_s([&] { own = gen_crc(data.data(), n, 0xFFFFFFFF); }, n);
	const double b = best_mib_s([&] { ref = crc32(0, data.data(), n); }, n);
	fprintf(stderr, "gen_crc %.1f MiB/s, zlib crc32 %.1f MiB/s (%.1f x); gen_crc is zlib's complement: %s\n", a, b,
	       b / a, static_cast<uint32_t>(~own) == ref ? "yes" : "NO");
	return static_cast<uint32_t>(~own) == ref ? 0 : 1;
}

static int count(uint32_t size)
{
	const std::string image = make_image(size);
	const int fd = open(image.c_str(), O_RDONLY);
	void *map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);

	if (map == MAP_FAILED)
		return 1;
	const uint8_t *bytes = static_cast<const uint8_t *>(map);
	CALLGRIND_ZERO_STATS;
	CALLGRIND_TOGGLE_COLLECT;
	const uint32_t r = gen_crc(bytes + CRC_START, size - CRC_START, 0xFFFFFFFF);
	CALLGRIND_TOGGLE_COLLECT;
	CALLGRIND_DUMP_STATS_AT("gen_crc");
	munmap(map, size);
	close(fd);

	CALLGRIND_ZERO_STATS;
	CALLGRIND_TOGGLE_COLLECT;
	const bool ok = boot(image, "/dev/null");
	CALLGRIND_TOGGLE_COLLECT;
	CALLGRIND_DUMP_STATS_AT("boot");
	unlink(image.c_str());
	fprintf(stderr, "checksum %08x, %s\n", r, ok ? "handed over" : "NO HAND-OVER");
	return ok ? 0 : 1;
}

// VmRSS or VmHWM of this process, in bytes.
static size_t status_bytes(const char *key)
{
	FILE *f = fopen("/proc/self/status", "r");
	char line[256];
	size_t kib = 0;

	while (f && fgets(line, sizeof line, f))
		if (strncmp(line, key, strlen(key)) == 0)
			kib = strtoul(line + strlen(key), nullptr, 10);
	if (f)
		fclose(f);
	return kib * 1024;
}

static int rss(uint32_t size)
{
	const std::string image = make_image(size);
	const std::string staging = image + ".tar.gz";
	FILE *reset = fopen("/proc/self/clear_refs", "w");
	const size_t base = status_bytes("VmRSS:");

	// "5" starts a new peak at the current size.
	if (!reset || fputs("5", reset) < 0 || fclose(reset) != 0)
		return 1;
	const bool ok = boot(image, staging.c_str());
	const size_t added = status_bytes("VmHWM:") - base, limit = size + (1 << 20);
	unlink(image.c_str());
	unlink(staging.c_str());
	fprintf(stderr, "boot path, %u-byte image: peak resident memory added %zu bytes, budget length + 16 + 1 MiB = %zu: %s\n",
	       size, added, limit, ok && added <= limit ? "ok" : "MISSED");
	return ok && added <= limit ? 0 : 1;
}

int main(int argc, char **argv)
{
	if (argc == 2 && strcmp(argv[1], "crc") == 0)
		return crc();
	if (argc == 3 && strcmp(argv[1], "boot") == 0)
		return count(static_cast<uint32_t>(strtoul(argv[2], nullptr, 0)));
	if (argc == 3 && strcmp(argv[1], "rss") == 0)
		return rss(static_cast<uint32_t>(strtoul(argv[2], nullptr, 0)));
	fprintf(stderr, "usage: bench_boot crc | boot SIZE | rss SIZE\n");
	return 2;
}

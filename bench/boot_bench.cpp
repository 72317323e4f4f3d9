// The launcher's whole pass from main to the hand-over, on the tests' fake
// board and sandboxed platform (tests/fakes): image 1 is a valid container
// of SIZE bytes (length = SIZE - 16, random payload). The pauses return at
// once; the unpack runs as a child process (its instructions and CPU time
// are not the launcher's and are not counted).
//
//   bench_boot [google benchmark options]   CPU time of the pass beside one
//                                           gen_crc pass over the image
//   bench_boot probe SIZE...                the pass and one gen_crc pass as
//                                           callgrind regions
//   bench_boot rss SIZE                     resident memory the pass adds:
//                                           "rss size= base= peak=" on stdout
#include "bench_util.h"
#include "container.h"
#include "crc.h"
#include "fake_board.h"
#include "fake_platform.h"
#include "image.h"
#include "launch.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int launcher_main(void);

namespace {

const char SLOT[] = "/user/images/image1";
const char HAND_OVER[] = "execve /bin/zid-Monitor {/bin/zid-Monitor}";

// Streams a valid container of `size` bytes into slot 1 of the sandbox,
// through a static chunk: the heap stays as a freshly started launcher
// would find it.
void write_slot_image(uint32_t size)
{
	static uint8_t chunk[64 * 1024];
	const uint32_t length = size - (uint32_t)IMAGE_HEADER_SIZE;
	uint8_t head[IMAGE_HEADER_SIZE] = {};
	FILE *f = fopen(sandbox(SLOT).c_str(), "wb");

	if (!f)
		abort();
	put_be32(head + 4, length);
	put_be32(head + 8, IMAGE_MAGIC);
	uint32_t crc = gen_crc(head + IMAGE_CRC_START, IMAGE_HEADER_SIZE - IMAGE_CRC_START, 0xFFFFFFFFu);
	fwrite(head, 1, sizeof head, f);
	for (uint32_t done = 0, n; done < length; done += n) {
		n = length - done < sizeof chunk ? length - done : (uint32_t)sizeof chunk;
		fill_random(chunk, n, 0xB007 + done);
		crc = gen_crc(chunk, n, crc);
		fwrite(chunk, 1, n, f);
	}
	put_be32(head, crc);
	if (fseek(f, 0, SEEK_SET) != 0 || fwrite(head, 1, 4, f) != 4 || fclose(f) != 0)
		abort();
}

// The slot image, mapped read-only (no heap memory).
struct mapped {
	const uint8_t *data;
	size_t size;
};

mapped map_slot_image()
{
	const int fd = open(sandbox(SLOT).c_str(), O_RDONLY);
	const off_t size = fd < 0 ? -1 : lseek(fd, 0, SEEK_END);
	void *p = size <= 0 ? MAP_FAILED : mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);

	if (p == MAP_FAILED)
		abort();
	close(fd);
	return {(const uint8_t *)p, (size_t)size};
}

// The pass the launcher makes over the image: CheckCrc's range.
uint32_t crc_pass(const mapped &m)
{
	return gen_crc(m.data + IMAGE_CRC_START, (uint32_t)(m.size - IMAGE_CRC_START), 0xFFFFFFFFu);
}

// A fresh sandbox with the image in slot 1, on a fresh board.
void setup(uint32_t size)
{
	platform_begin();
	write_slot_image(size);
}

// One pass from main; false unless it ended in the hand-over to the
// monitor without a fault of the platform's contract.
bool boot()
{
	board_begin();
	launch_settings = {};
	tried_alt_image = 0;
	platform.events.clear();

	const run_result r = platform_run(launcher_main, "");

	return r.end == RUN_EXECED && platform.faults.empty() && !platform.events.empty() &&
	       platform.events.back() == HAND_OVER;
}

void report_failure(const char *what)
{
	fprintf(stderr, "%s: the boot did not end in the hand-over\n", what);
	for (const std::string &e : platform.events)
		fprintf(stderr, "  event: %s\n", e.c_str());
	for (const std::string &f : platform.faults)
		fprintf(stderr, "  fault: %s\n", f.c_str());
}

void BM_boot(benchmark::State &state)
{
	setup((uint32_t)state.range(0));
	for (auto _ : state)
		if (!boot()) {
			report_failure("BM_boot");
			state.SkipWithError("no hand-over");
			break;
		}
	platform_end();
}

void BM_boot_gen_crc(benchmark::State &state)
{
	setup((uint32_t)state.range(0));
	const mapped m = map_slot_image();

	for (auto _ : state) {
		uint32_t r = crc_pass(m);
		benchmark::DoNotOptimize(r);
	}
	munmap((void *)m.data, m.size);
	platform_end();
}

constexpr int64_t MIB = 1 << 20;

BENCHMARK(BM_boot_gen_crc)->Arg(1 * MIB)->Arg(16 * MIB)->Arg(64 * MIB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_boot)->Arg(1 * MIB)->Arg(16 * MIB)->Arg(64 * MIB)->Unit(benchmark::kMillisecond);

int probe(int argc, char **argv)
{
	for (int i = 0; i < argc; i++) {
		const uint32_t size = (uint32_t)strtoul(argv[i], nullptr, 0);
		char label[64];

		setup(size);
		const mapped m = map_slot_image();
		region_begin();
		const uint32_t crc = crc_pass(m);
		snprintf(label, sizeof label, "gen_crc/%u", size);
		region_end(label);
		munmap((void *)m.data, m.size);

		region_begin();
		const bool ok = boot();
		snprintf(label, sizeof label, "boot/%u", size);
		region_end(label);
		if (!ok) {
			report_failure(label);
			return 1;
		}
		platform_end();
		fprintf(stderr, "%u bytes: checksum %08x, handed over\n", size, crc);
	}
	return 0;
}

// The resident memory before the pass, and its peak during it; one size
// per process, so that every pass starts from a fresh process's heap.
int rss(const char *arg)
{
	const uint32_t size = (uint32_t)strtoul(arg, nullptr, 0);

	setup(size);
	const size_t base = current_rss();
	if (!peak_rss_reset())
		return 1;
	const bool ok = boot();
	const size_t peak = peak_rss();
	platform_end();
	if (!ok) {
		report_failure("rss");
		return 1;
	}
	printf("rss size=%u base=%zu peak=%zu\n", size, base, peak);
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc > 1 && strcmp(argv[1], "probe") == 0)
		return probe(argc - 2, argv + 2);
	if (argc == 3 && strcmp(argv[1], "rss") == 0)
		return rss(argv[2]);
	return run_benchmarks(argc, argv);
}

// api_flash_write and api_flash_erase on the fake MTD partitions of the
// board tests (128 KiB erase blocks): time per MiB, and the device requests
// each sector costs.
//
//   bench_flash [google benchmark options]   timings
//   bench_flash probe                        the requests of each case, one
//                                            line per case on standard output
//
// The flash layer prints its progress on standard output; that goes to
// /dev/null here, the benchmark table to standard error.
#include "board_api.h"
#include "bench_util.h"
#include "fake_mtd.h"
#include "fake_sys.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

FILE *results; // the original standard output

constexpr uint32_t MIB = 1 << 20;

// Fresh partitions, opened by the board layer as at start-up.
uint32_t fresh_flash()
{
	fake_reset();
	api_flash_init();
	fake_log.clear();
	return fake_mtd("kernel").erasesize;
}

// The whole kernel partition (4 MiB) per iteration.
void BM_flash_write(benchmark::State &state)
{
	fresh_flash();
	const uint32_t size = (uint32_t)fake_mtd("kernel").data.size();
	std::vector<uint8_t> data(size);
	fill_random(data.data(), size, 1);

	for (auto _ : state) {
		if (api_flash_write(data.data(), kernel_fd, 0, size) != 0)
			state.SkipWithError("api_flash_write failed");
		state.PauseTiming();
		fake_log.clear();
		fflush(stdout);
		state.ResumeTiming();
	}
	state.SetBytesProcessed((int64_t)state.iterations() * size);
}

void BM_flash_erase(benchmark::State &state)
{
	fresh_flash();
	const uint32_t size = (uint32_t)fake_mtd("kernel").data.size();

	for (auto _ : state) {
		if (api_flash_erase(kernel_fd, 0, size) != 0)
			state.SkipWithError("api_flash_erase failed");
		state.PauseTiming();
		fake_log.clear();
		state.ResumeTiming();
	}
	state.SetBytesProcessed((int64_t)state.iterations() * size);
}

BENCHMARK(BM_flash_write)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_flash_erase)->Unit(benchmark::kMillisecond);

// The sectors that bytes offset .. offset + length - 1 touch, counted
// here independently of the flash layer's own span arithmetic.
uint32_t sectors_touched(uint32_t offset, uint32_t length, uint32_t sector)
{
	if (length == 0)
		return offset % sector ? 1 : 0;
	return (offset + length - 1) / sector - offset / sector + 1;
}

// One operation on fresh partitions, and the requests it made, from the
// fake's log ("pread kernel 0x20000 0x20000", "erase ...", "pwrite ...").
void probe_case(const char *op, const char *label, uint32_t offset, uint32_t length)
{
	const uint32_t sector = fresh_flash();
	std::vector<uint8_t> data(length);
	fill_random(data.data(), length, 2);

	const int result = strcmp(op, "write") == 0
				   ? api_flash_write(data.data(), kernel_fd, offset, length)
				   : api_flash_erase(kernel_fd, offset, length);
	fflush(stdout);

	unsigned long pread = 0, pread_bytes = 0, erase = 0, erase_bytes = 0;
	unsigned long pwrite = 0, pwrite_bytes = 0, other = 0;
	for (const std::string &line : fake_log) {
		char what[16], part[32];
		unsigned long long off;
		unsigned long n;

		if (sscanf(line.c_str(), "%15s %31s %llx %lx", what, part, &off, &n) != 4) {
			other++;
			continue;
		}
		if (strcmp(what, "pread") == 0) {
			pread++;
			pread_bytes += n;
		} else if (strcmp(what, "erase") == 0) {
			erase++;
			erase_bytes += n;
		} else if (strcmp(what, "pwrite") == 0) {
			pwrite++;
			pwrite_bytes += n;
		} else {
			other++;
		}
	}
	fprintf(stderr, "%s %s: %lu requests\n", op, label, (unsigned long)fake_log.size());
	fprintf(results, "%s label=%s result=%d sector=%u sectors=%u pread=%lu pread_bytes=%lu erase=%lu "
		   "erase_bytes=%lu pwrite=%lu pwrite_bytes=%lu other=%lu\n",
		op, label, result, sector, sectors_touched(offset, length, sector), pread, pread_bytes,
		erase, erase_bytes, pwrite, pwrite_bytes, other);
}

int probe()
{
	probe_case("write", "4MiB@0", 0, 4 * MIB);
	probe_case("write", "1MiB@0x1FF00", 0x1FF00, MIB);
	probe_case("erase", "4MiB@0", 0, 4 * MIB);
	probe_case("erase", "1MiB@0x1FF00", 0x1FF00, MIB);
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	const int out = dup(1);
	const int null = open("/dev/null", O_WRONLY);
	if (out < 0 || null < 0 || dup2(null, 1) < 0 || !(results = fdopen(out, "w")))
		return 1;

	if (argc > 1 && strcmp(argv[1], "probe") == 0)
		return probe();

	benchmark::ConsoleReporter table;
	table.SetOutputStream(&std::cerr);
	table.SetErrorStream(&std::cerr);
	benchmark::Initialize(&argc, argv);
	if (benchmark::ReportUnrecognizedArguments(argc, argv))
		return 1;
	benchmark::RunSpecifiedBenchmarks(&table);
	benchmark::Shutdown();
	return 0;
}

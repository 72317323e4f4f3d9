// gen_crc against zlib's crc32 (the table-driven checksum a user would
// otherwise pick; here only as the reference, never in the launcher), and
// a calibration loop that turns time into core clock cycles.
//
//   bench_crc [google benchmark options]   timings
//   bench_crc probe SIZE...                one pass of each checksum over
//                                          SIZE random bytes, as callgrind
//                                          regions (run under callgrind)
#include "bench_util.h"
#include "crc.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

namespace {

const std::vector<uint8_t> &random_data(size_t n)
{
	static std::map<size_t, std::vector<uint8_t>> cache;
	std::vector<uint8_t> &v = cache[n];

	if (v.size() != n) {
		v.resize(n);
		fill_random(v.data(), n, 0x5EED0000 + n);
	}
	return v;
}

void BM_gen_crc(benchmark::State &state)
{
	const std::vector<uint8_t> &d = random_data(state.range(0));

	for (auto _ : state) {
		uint32_t r = gen_crc(d.data(), (uint32_t)d.size(), 0xFFFFFFFFu);
		benchmark::DoNotOptimize(r);
	}
	state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

void BM_zlib_crc32(benchmark::State &state)
{
	const std::vector<uint8_t> &d = random_data(state.range(0));

	for (auto _ : state) {
		uLong r = crc32(0, d.data(), (uInt)d.size());
		benchmark::DoNotOptimize(r);
	}
	state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

// A chain of dependent one-cycle additions: the empty asm makes the
// compiler emit every addition and keeps each one waiting for the last,
// so one item is one core clock cycle.
constexpr int CLOCK_STEPS = 1 << 16;

void BM_clock(benchmark::State &state)
{
	uint64_t x = 0;

	for (auto _ : state) {
		for (int i = 0; i < CLOCK_STEPS; i += 8) {
#pragma GCC unroll 8
			for (int k = 0; k < 8; k++) {
				x += 1;
				asm volatile("" : "+r"(x));
			}
		}
	}
	benchmark::DoNotOptimize(x);
	state.SetItemsProcessed((int64_t)state.iterations() * CLOCK_STEPS);
}

constexpr int64_t MIB = 1 << 20;

BENCHMARK(BM_clock);
BENCHMARK(BM_gen_crc)->Arg(1 * MIB)->Arg(64 * MIB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_zlib_crc32)->Arg(1 * MIB)->Arg(64 * MIB)->Unit(benchmark::kMillisecond);

int probe(int argc, char **argv)
{
	for (int i = 0; i < argc; i++) {
		size_t n = strtoul(argv[i], nullptr, 0);
		std::vector<uint8_t> d(n);

		fill_random(d.data(), n, 0x5EED0000 + n);

		char label[64];
		region_begin();
		uint32_t own = gen_crc(d.data(), (uint32_t)n, 0xFFFFFFFFu);
		snprintf(label, sizeof label, "gen_crc/%zu", n);
		region_end(label);

		region_begin();
		uLong ref = crc32(0, d.data(), (uInt)n);
		snprintf(label, sizeof label, "zlib/%zu", n);
		region_end(label);

		// The two must agree: gen_crc is the complement of CRC-32.
		printf("%zu bytes: gen_crc %08x, zlib crc32 %08lx\n", n, own, ref);
		if ((uint32_t)~own != (uint32_t)ref)
			return 1;
	}
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc > 1 && strcmp(argv[1], "probe") == 0)
		return probe(argc - 2, argv + 2);
	return run_benchmarks(argc, argv);
}

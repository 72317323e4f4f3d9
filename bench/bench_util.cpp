#include "bench_util.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>

#include <valgrind/callgrind.h>

void fill_random(uint8_t *buf, size_t n, uint64_t seed)
{
	uint64_t x = seed | 1;

	for (size_t i = 0; i < n; i++) {
		x ^= x >> 12;
		x ^= x << 25;
		x ^= x >> 27;
		buf[i] = (uint8_t)((x * 0x2545F4914F6CDD1DULL) >> 56);
	}
}

void region_begin()
{
	CALLGRIND_ZERO_STATS;
	CALLGRIND_TOGGLE_COLLECT;
}

void region_end(const char *label)
{
	CALLGRIND_TOGGLE_COLLECT;
	CALLGRIND_DUMP_STATS_AT(label);
}

static size_t status_kib(const char *key)
{
	FILE *f = fopen("/proc/self/status", "r");
	char line[256];
	size_t kib = 0;
	size_t len = strlen(key);

	if (!f)
		return 0;
	while (fgets(line, sizeof line, f))
		if (strncmp(line, key, len) == 0) {
			sscanf(line + len, "%zu", &kib);
			break;
		}
	fclose(f);
	return kib * 1024;
}

size_t current_rss()
{
	return status_kib("VmRSS:");
}

size_t peak_rss()
{
	return status_kib("VmHWM:");
}

bool peak_rss_reset()
{
	FILE *f = fopen("/proc/self/clear_refs", "w");

	if (!f)
		return false;
	bool ok = fputs("5", f) >= 0;
	return fclose(f) == 0 && ok;
}

int run_benchmarks(int argc, char **argv)
{
	benchmark::Initialize(&argc, argv);
	if (benchmark::ReportUnrecognizedArguments(argc, argv))
		return 1;
	benchmark::RunSpecifiedBenchmarks();
	benchmark::Shutdown();
	return 0;
}

// Helpers shared by the benchmark programs.
#ifndef BENCH_UTIL_H
#define BENCH_UTIL_H

#include <cstddef>
#include <cstdint>

// Fills buf with reproducible pseudo-random bytes (xorshift64*), so that
// the checksum loop sees no pattern a branch predictor could learn.
void fill_random(uint8_t *buf, size_t n, uint64_t seed);

// Marks a region whose instructions callgrind counts: nothing happens
// outside valgrind. Run under
//   valgrind --tool=callgrind --collect-atstart=no
// each region ends in a dump of its own whose trigger names `label`.
void region_begin();
void region_end(const char *label);

// Resident set of this process, from /proc/self/status: the current size
// (VmRSS) and the peak since the last peak_rss_reset() (VmHWM), in bytes.
size_t current_rss();
size_t peak_rss();
// Starts a new peak at the current size (Linux: clear_refs value 5).
bool peak_rss_reset();

// Runs the registered benchmarks with Google Benchmark's own options;
// the end of a benchmark program's main().
int run_benchmarks(int argc, char **argv);

#endif

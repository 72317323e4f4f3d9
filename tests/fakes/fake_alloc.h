// Allocation faults, for code linked with -Wl,--wrap=malloc,--wrap=calloc.
// While armed, a request above `limit` bytes fails (the board's memory
// ends somewhere), and so does the fail_nth-th request (from 1; 0: none).
#ifndef TESTS_FAKES_FAKE_ALLOC_H
#define TESTS_FAKES_FAKE_ALLOC_H

#include <cstddef>

struct fake_alloc_state {
	bool armed;
	size_t limit;
	int fail_nth;
	int calls; // requests seen while armed
};

extern fake_alloc_state fake_alloc;

void fake_alloc_arm(size_t limit, int fail_nth = 0);
void fake_alloc_disarm();

#endif

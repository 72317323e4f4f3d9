#include "fake_alloc.h"

#include <cerrno>

fake_alloc_state fake_alloc;

extern "C" {
void *__real_malloc(size_t n);
void *__real_calloc(size_t count, size_t size);
}

void fake_alloc_arm(size_t limit, int fail_nth)
{
	fake_alloc = fake_alloc_state{ true, limit, fail_nth, 0 };
}

void fake_alloc_disarm()
{
	fake_alloc.armed = false;
}

static bool refused(size_t n)
{
	if (!fake_alloc.armed)
		return false;
	if (++fake_alloc.calls != fake_alloc.fail_nth && n <= fake_alloc.limit)
		return false;
	errno = ENOMEM;
	return true;
}

extern "C" void *__wrap_malloc(size_t n)
{
	return refused(n) ? nullptr : __real_malloc(n);
}

// The launcher asks calloc for one block of n bytes: count * size cannot wrap.
extern "C" void *__wrap_calloc(size_t count, size_t size)
{
	return refused(count * size) ? nullptr : __real_calloc(count, size);
}

#include "fake_alloc.h"

#include <cerrno>
#include <cstdint>

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
	++fake_alloc.calls;
	if (n > fake_alloc.limit || fake_alloc.calls == fake_alloc.fail_nth) {
		errno = ENOMEM;
		return true;
	}
	return false;
}

extern "C" void *__wrap_malloc(size_t n)
{
	return refused(n) ? nullptr : __real_malloc(n);
}

extern "C" void *__wrap_calloc(size_t count, size_t size)
{
	return refused(size && count > SIZE_MAX / size ? SIZE_MAX : count * size)
		? nullptr : __real_calloc(count, size);
}

// SPDX-License-Identifier: MIT
// Stand-ins for the platform beneath the launcher (launcher_stub.h).
// launch.cpp is compiled here with its platform calls renamed by the
// preprocessor after the system headers are in, so that only the
// launcher's own calls reach the stand-ins: the rest of the program (the
// fuzzer, the sanitizers, the test framework) keeps the C library.
#include "launcher_stub.h"

#include "board_api.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

launcher_stub stub = { { nullptr, nullptr }, nullptr, 0, 0 };

static int allocs;

static jmp_buf run_end;
static stub_result ending;

[[noreturn]] static void end_run(stub_end end, int value) { ending = { end, value }; longjmp(run_end, 1); }

static int stub_system(const char *) { return stub.system_result; }
static unsigned int stub_sleep(unsigned int) { return 0; }
[[noreturn]] static void stub_exit(int status) { end_run(STUB_EXITED, status); }
[[noreturn]] static int stub_execve(const char *, char *const *, char *const *) { end_run(STUB_EXECED, 0); }

static FILE *stub_fopen(const char *path, const char *mode)
{
	static const char SLOT[] = "/user/images/image";
	const char *file = "/dev/null";

	if (strncmp(path, SLOT, sizeof SLOT - 1) == 0)
		file = stub.slot[path[sizeof SLOT - 1] == '2'];
	else if (strcmp(path, "/tmp/vemraimage.tar.gz") == 0 && stub.staging)
		file = stub.staging;
	errno = ENOENT; // of a slot without a file
	return file ? fopen(file, mode) : nullptr;
}

static bool granted(size_t)
{
	return ++allocs != stub.failing_alloc;
}

static void *stub_malloc(size_t n) { return granted(n) ? malloc(n) : nullptr; }

static void *stub_calloc(size_t n, size_t size)
{
	size_t total;
	return !__builtin_mul_overflow(n, size, &total) && granted(total) ? calloc(n, size) : nullptr;
}

#define system stub_system
#define execve stub_execve
#define sleep stub_sleep
#define exit stub_exit
#define fopen stub_fopen
#define malloc stub_malloc
#define calloc stub_calloc
#define main launcher_main
#include "launch.cpp"

stub_result stub_run(int (*entry)(void))
{
	allocs = 0;
	if (setjmp(run_end))
		return ending;
	return { STUB_RETURNED, entry() };
}

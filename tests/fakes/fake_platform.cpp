#include "fake_platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <regex>
#include <stdio_ext.h>
#include <unistd.h>

namespace fs = std::filesystem;

fake_platform platform;

static bool active;
static jmp_buf run_jmp;
static run_end ended;

extern "C" {
int __real_system(const char *line);
int __real_execve(const char *path, char *const argv[], char *const envp[]);
unsigned int __real_sleep(unsigned int seconds);
[[noreturn]] void __real_exit(int status);
FILE *__real_fopen(const char *path, const char *mode);
char *__real_fgets(char *s, int size, FILE *stream);
}

// The launcher's command lines, each with the shell script that stands for
// it in the sandbox (NULL: the line itself; "": none, the line succeeds).
static const char *const COMMANDS[][2] = {
	{ "/bin/mount -o sync -t jffs2 /dev/mtd-user /user", "" },
	{ "reboot", "" },
	{ "/bin/sh\n", "printf '# '" }, // the console shell's prompt
	{ "flash_eraseall /dev/mtd-user-char", "rm -r /user && mkdir /user" },
	{ "cd /tmp \ntar mxzf /tmp/vemraimage.tar.gz \nrm /tmp/vemraimage.tar.gz\n", nullptr },
	{ "mv /tmp/home/bin/mp.elf.strip /tmp", nullptr },
	{ "mkdir /user/images", nullptr },
	{ "cp /tmp/image /user/images/image1\n", nullptr },
	{ "cp /tmp/image /user/images/image2\n", nullptr },
};

void platform_event(const std::string &event)
{
	platform.events.push_back(event);
}

void platform_fault(const std::string &what)
{
	platform.faults.push_back(what);
}

std::string sandbox(const std::string &path)
{
	return platform.root + path;
}

static void check_flushed(const char *before)
{
	if (__fpending(stdout) || __fpending(stderr))
		platform_fault(std::string("console output still buffered at ") + before);
}

void platform_begin()
{
	std::string dir = (fs::temp_directory_path() / "vemra-launcher-XXXXXX").string();

	platform = fake_platform();
	if (!mkdtemp(dir.data()))
		abort();
	platform.root = dir;
	fs::create_directories(sandbox("/tmp"));
	fs::create_directories(sandbox("/user/images"));
}

void platform_end()
{
	fs::remove_all(platform.root);
}

// Calls entry; comes back here when the run ends. Nothing lives in this
// frame that the jump could clobber.
static void run_entry(int (*entry)(void))
{
	if (setjmp(run_jmp) == 0) {
		ended = RUN_RETURNED;
		entry();
	}
}

run_result platform_run(int (*entry)(void), const std::string &input)
{
	const auto open_descriptors = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
	const long descriptors = open_descriptors();

	console_begin(&input);
	active = true;
	run_entry(entry);
	active = false;
	const run_result r = { ended, console_end() };
	for (const std::string &f : platform.faults)
		ADD_FAILURE() << f;
	EXPECT_EQ(open_descriptors(), descriptors) << "descriptors left open";
	return r;
}

[[noreturn]] static void end_run(run_end how)
{
	ended = how;
	longjmp(run_jmp, 1);
}

extern "C" int __wrap_system(const char *line)
{
	if (!active)
		return __real_system(line);
	check_flushed("system()");
	platform_event(std::string("system ") + line);
	if (++platform.systems == platform.fail_system)
		return -1;
	if (line == platform.failing_line)
		return platform.failing_status;
	for (const auto &c : COMMANDS)
		if (line == std::string(c[0])) {
			const std::string script = c[1] ? c[1] : line;
			if (script.empty())
				return 0;
			const std::regex board_path(" (?=/tmp|/user)");
			return __real_system(("exec 2>/dev/null\n" +
					      std::regex_replace(script, board_path, " " + platform.root)).c_str());
		}
	platform_fault(std::string("unexpected command line: ") + line);
	return 127 << 8;
}

extern "C" int __wrap_execve(const char *path, char *const argv[], char *const envp[])
{
	// The environment handed over is never freed, as in a new process
	// image: keep it reachable for the leak checks.
	static auto *handed_over = new std::vector<const void *>;

	if (!active)
		return __real_execve(path, argv, envp);
	check_flushed("execve()");
	{ // nothing of this scope may outlive it: the run ends by a jump
		std::string event = std::string("execve ") + path + " {";
		for (int i = 0; argv[i]; i++)
			event += (i ? ", " : "") + std::string(argv[i]);
		platform_event(event + "}");
	}
	platform.exec_env.clear();
	for (char *const *e = envp; *e; e++)
		platform.exec_env.push_back(*e);
	handed_over->push_back(envp);
	if (platform.exec_errno) {
		errno = platform.exec_errno;
		return -1;
	}
	end_run(RUN_EXECED);
}

extern "C" unsigned int __wrap_sleep(unsigned int seconds)
{
	if (!active)
		return __real_sleep(seconds);
	platform_event("sleep " + std::to_string(seconds));
	return 0;
}

extern "C" [[noreturn]] void __wrap_exit(int status)
{
	if (!active)
		__real_exit(status);
	check_flushed("exit()");
	platform_event("exit " + std::to_string(status));
	end_run(RUN_EXITED);
}

extern "C" FILE *__wrap_fopen(const char *path, const char *mode)
{
	if (!active)
		return __real_fopen(path, mode);
	if (++platform.fopens == platform.fail_fopen) {
		errno = EIO;
		return nullptr;
	}
	const bool board_path = !strncmp(path, "/tmp", 4) || !strncmp(path, "/user", 5);
	return __real_fopen(board_path ? sandbox(path).c_str() : path, mode);
}

extern "C" char *__wrap_fgets(char *s, int size, FILE *stream)
{
	if (active && stream == stdin)
		check_flushed("a console read");
	return __real_fgets(s, size, stream);
}

#include "fake_platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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
FILE *__real_fopen64(const char *path, const char *mode);
char *__real_fgets(char *s, int size, FILE *stream);
}

// Command lines that are only logged.
static const char *const LOGGED_ONLY[] = {
	"/bin/mount -o sync -t jffs2 /dev/mtd-user /user",
	"/bin/sh\n",
	"reboot",
};

// Command lines carried out in the sandbox.
static const char *const CARRIED_OUT[] = {
	"cd /tmp \ntar mxzf /tmp/vemraimage.tar.gz \nrm /tmp/vemraimage.tar.gz\n",
	"mv /tmp/home/bin/mp.elf.strip /tmp",
	"mkdir /user/images",
	"cp /tmp/image /user/images/image1\n",
	"cp /tmp/image /user/images/image2\n",
};

static const char ERASE_USER[] = "flash_eraseall /dev/mtd-user-char";

void platform_event(const std::string &event)
{
	platform.events.push_back(event);
	platform.out_at.push_back(lseek(1, 0, SEEK_CUR));
}

void platform_fault(const std::string &what)
{
	platform.faults.push_back(what);
}

static bool under_sandbox(const std::string &path)
{
	return path.rfind("/tmp", 0) == 0 || path.rfind("/user", 0) == 0;
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

static size_t open_descriptors()
{
	size_t n = 0;

	for (auto it = fs::directory_iterator("/proc/self/fd"); it != fs::directory_iterator(); ++it)
		n++;
	return n;
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
	const size_t descriptors = open_descriptors();
	run_result r;

	console_set_input(input);
	console_begin();
	active = true;
	run_entry(entry);
	active = false;
	r.end = ended;
	r.console = console_end();
	// Drops what stdin still buffers, and its idea of the file offset,
	// so that the next run reads its own input and not this one's.
	fflush(stdin);
	console_restore_input();
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

// Moves every " /tmp" and " /user" of a command line into the sandbox.
static std::string in_sandbox(const std::string &line)
{
	std::string out;

	for (size_t i = 0; i < line.size(); i++) {
		out += line[i];
		if (line[i] == ' ' && under_sandbox(line.substr(i + 1)))
			out += platform.root;
	}
	return out;
}

extern "C" int __wrap_system(const char *line)
{
	if (!active)
		return __real_system(line);
	check_flushed("system()");
	platform_event(std::string("system ") + line);
	if (++platform.systems == platform.fail_system || line == platform.failing_line)
		return -1;
	for (const char *l : LOGGED_ONLY)
		if (line == std::string(l))
			return 0;
	for (const char *l : CARRIED_OUT)
		if (line == std::string(l))
			return __real_system(("exec >/dev/null 2>&1\n" + in_sandbox(line)).c_str());
	if (line == std::string(ERASE_USER)) {
		fs::remove_all(sandbox("/user"));
		fs::create_directory(sandbox("/user"));
		return 0;
	}
	platform_fault(std::string("unexpected command line: ") + line);
	return 127 << 8;
}

// Logs the exec. The environment handed over stays referenced to the
// end, as it would be in the new process image (never destroyed, so that
// the leak check at exit still sees it).
static void log_exec(const char *path, char *const argv[], char *const envp[])
{
	static auto *handed_over = new std::vector<const void *>;
	std::string event = std::string("execve ") + path + " {";

	for (int i = 0; argv[i]; i++) {
		event += (i ? ", " : "") + std::string(argv[i]);
		if (under_sandbox(argv[i]) && !fs::exists(sandbox(argv[i])))
			platform_fault(std::string("execve() names a missing file: ") + argv[i]);
	}
	platform_event(event + "}");
	platform.exec_env.clear();
	for (char *const *e = envp; *e; e++)
		platform.exec_env.push_back(*e);
	handed_over->push_back(envp);
}

extern "C" int __wrap_execve(const char *path, char *const argv[], char *const envp[])
{
	if (!active)
		return __real_execve(path, argv, envp);
	check_flushed("execve()");
	log_exec(path, argv, envp);
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

static FILE *open_file(FILE *(*real)(const char *, const char *), const char *path, const char *mode)
{
	if (!active)
		return real(path, mode);
	if (++platform.fopens == platform.fail_fopen) {
		errno = EIO;
		return nullptr;
	}
	return real(under_sandbox(path) ? sandbox(path).c_str() : path, mode);
}

extern "C" FILE *__wrap_fopen(const char *path, const char *mode)
{
	return open_file(__real_fopen, path, mode);
}

extern "C" FILE *__wrap_fopen64(const char *path, const char *mode)
{
	return open_file(__real_fopen64, path, mode);
}

extern "C" char *__wrap_fgets(char *s, int size, FILE *stream)
{
	if (active && stream == stdin)
		check_flushed("a console read");
	return __real_fgets(s, size, stream);
}

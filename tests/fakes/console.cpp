#include "console.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

static int saved_fd[3] = { -1, -1, -1 };
static FILE *capture_file[3];

// Points fd at `to`, keeping the original to restore.
static void redirect(int fd, FILE *to)
{
	if (!to)
		abort();
	if (saved_fd[fd] < 0)
		saved_fd[fd] = dup(fd);
	dup2(fileno(to), fd);
}

static void restore(int fd)
{
	dup2(saved_fd[fd], fd);
	close(saved_fd[fd]);
	saved_fd[fd] = -1;
}

static std::string slurp(FILE *f)
{
	std::string s(lseek(fileno(f), 0, SEEK_END), '\0');

	if (pread(fileno(f), s.data(), s.size(), 0) != (ssize_t)s.size())
		abort();
	fclose(f);
	return s;
}

void console_begin()
{
	fflush(stdout);
	fflush(stderr);
	for (int fd = 1; fd <= 2; fd++)
		redirect(fd, capture_file[fd] = tmpfile());
}

console_capture console_end()
{
	fflush(stdout);
	fflush(stderr);
	restore(1);
	restore(2);
	return { slurp(capture_file[1]), slurp(capture_file[2]) };
}

void console_set_input(const std::string &text)
{
	FILE *f = tmpfile();

	redirect(0, f);
	fwrite(text.data(), 1, text.size(), f);
	fclose(f);
	// Drop what stdin still buffers from the previous input: a seek alone
	// may be served from that buffer.
	fflush(stdin);
	lseek(0, 0, SEEK_SET);
	clearerr(stdin);
}

void console_restore_input()
{
	fflush(stdin);
	restore(0);
	clearerr(stdin);
}

#include "console.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

int saved_fd[3] = { -1, -1, -1 };
FILE *capture_file[3];

void redirect(int fd, FILE *to)
{
	saved_fd[fd] = dup(fd);
	dup2(fileno(to), fd);
}

void restore(int fd)
{
	if (saved_fd[fd] < 0)
		return;
	dup2(saved_fd[fd], fd);
	close(saved_fd[fd]);
	saved_fd[fd] = -1;
}

std::string slurp(FILE *f)
{
	std::string s;
	char buf[4096];
	size_t n;

	rewind(f);
	while ((n = fread(buf, 1, sizeof buf, f)) > 0)
		s.append(buf, n);
	fclose(f);
	return s;
}

} // namespace

void console_begin()
{
	fflush(stdout);
	fflush(stderr);
	for (int fd = 1; fd <= 2; fd++) {
		capture_file[fd] = tmpfile();
		if (!capture_file[fd])
			abort();
		redirect(fd, capture_file[fd]);
	}
}

console_capture console_end()
{
	console_capture c;

	fflush(stdout);
	fflush(stderr);
	restore(1);
	restore(2);
	c.out = slurp(capture_file[1]);
	c.err = slurp(capture_file[2]);
	return c;
}

void console_set_input(const std::string &text)
{
	FILE *f = tmpfile();

	if (!f)
		abort();
	fwrite(text.data(), 1, text.size(), f);
	fflush(f);
	rewind(f);
	// Drop what stdin still buffers from the previous input: a seek
	// alone may be served from that buffer.
	fflush(stdin);
	if (saved_fd[0] < 0)
		saved_fd[0] = dup(0);
	dup2(fileno(f), 0);
	fclose(f);
	clearerr(stdin);
}

void console_restore_input()
{
	fflush(stdin);
	restore(0);
	clearerr(stdin);
}

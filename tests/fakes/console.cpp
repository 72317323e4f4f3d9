#include "console.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

static int saved_fd[3] = { -1, -1, -1 };
static FILE *capture_file[3];

// Points fd at a new temporary file, keeping the original to restore.
static void redirect(int fd)
{
	if (!(capture_file[fd] = tmpfile()))
		abort();
	saved_fd[fd] = dup(fd);
	dup2(fileno(capture_file[fd]), fd);
}

// What the temporary file holds; the original fd back in place.
static std::string restore(int fd)
{
	std::string s(lseek(fd, 0, SEEK_END), '\0');

	if (pread(fd, s.data(), s.size(), 0) != (ssize_t)s.size())
		abort();
	dup2(saved_fd[fd], fd);
	close(saved_fd[fd]);
	saved_fd[fd] = -1;
	fclose(capture_file[fd]);
	return s;
}

void console_begin(const std::string *input)
{
	fflush(stdout);
	fflush(stderr);
	redirect(1);
	redirect(2);
	if (input) {
		redirect(0);
		if (write(0, input->data(), input->size()) != (ssize_t)input->size())
			abort();
		lseek(0, 0, SEEK_SET);
	}
}

console_capture console_end()
{
	fflush(stdout);
	fflush(stderr);
	console_capture c = { restore(1), restore(2) };
	// Drop what stdin still buffers of this input, so that the next
	// reads its own (a seek alone may be served from that buffer).
	if (saved_fd[0] >= 0) {
		fflush(stdin);
		restore(0);
		clearerr(stdin);
	}
	return c;
}

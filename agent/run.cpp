// SPDX-License-Identifier: MIT
#include "run.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

// In the child: the descriptors and signals a program expects, then it.
[[noreturn]] static void exec_child(const char *const argv[], int in_fd, int out_fd, int err_fd)
{
	const int null_fd = open("/dev/null", O_RDWR);
	sigset_t none;

	dup2(in_fd >= 0 ? in_fd : null_fd, 0);
	dup2(out_fd >= 0 ? out_fd : null_fd, 1);
	dup2(err_fd, 2);
	// Nothing of the agent's (the broker's socket, inotify) goes along.
	close_range(3, ~0U, 0);
	signal(SIGPIPE, SIG_DFL);
	signal(SIGTERM, SIG_DFL);
	signal(SIGINT, SIG_DFL);
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, NULL);
	execvp(argv[0], (char *const *)argv);
	dprintf(2, "cannot run %s: %s\n", argv[0], strerror(errno));
	_exit(127);
}

bool child_start(child *c, const char *const argv[], int in_fd, int out_fd)
{
	int err[2];

	memset(c, 0, sizeof *c);
	c->err_fd = -1;
	if (pipe2(err, O_CLOEXEC) != 0) {
		snprintf(c->last, sizeof c->last, "cannot run %s: %s", argv[0], strerror(errno));
		return false;
	}
	c->pid = fork();
	if (c->pid == 0)
		exec_child(argv, in_fd, out_fd, err[1]);
	close(err[1]);
	if (c->pid < 0) {
		snprintf(c->last, sizeof c->last, "cannot run %s: %s", argv[0], strerror(errno));
		close(err[0]);
		c->pid = 0;
		return false;
	}
	// Never blocks the agent's loop: read as it comes.
	fcntl(err[0], F_SETFL, O_NONBLOCK);
	c->err_fd = err[0];
	return true;
}

static void end_line(child *c)
{
	if (c->partial_len == 0)
		return;
	memcpy(c->last, c->partial, c->partial_len);
	c->last[c->partial_len] = '\0';
	c->partial_len = 0;
}

// The bytes read, line by line; a line longer than kept is cut.
static void take(child *c, const char *buf, size_t n)
{
	for (size_t i = 0; i < n; i++) {
		if (buf[i] == '\n')
			end_line(c);
		else if (c->partial_len < sizeof c->partial - 1)
			c->partial[c->partial_len++] = buf[i];
	}
}

bool child_read(child *c)
{
	char buf[512];
	ssize_t n;
	int status;

	if (c->pid == 0)
		return true;
	if (c->err_fd >= 0) {
		n = read(c->err_fd, buf, sizeof buf);
		if (n > 0) {
			take(c, buf, (size_t)n);
			return false;
		}
		if (n < 0 && (errno == EINTR || errno == EAGAIN))
			return false;
		end_line(c);
		close(c->err_fd);
		c->err_fd = -1;
	}
	while (waitpid(c->pid, &status, 0) < 0 && errno == EINTR)
		;
	c->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	c->pid = 0;
	return true;
}

void child_finish(child *c)
{
	while (!child_read(c)) {
		struct pollfd p = { c->err_fd, POLLIN, 0 };

		poll(&p, 1, -1);
	}
}

int run_capture(child *c, const char *const argv[], char *out, size_t out_size)
{
	int fds[2];
	size_t used = 0;

	out[0] = '\0';
	if (pipe2(fds, O_CLOEXEC) != 0) {
		snprintf(c->last, sizeof c->last, "cannot run %s: %s", argv[0], strerror(errno));
		return 127;
	}
	const bool started = child_start(c, argv, -1, fds[1]);
	close(fds[1]);
	if (!started) {
		close(fds[0]);
		return 127;
	}
	for (int open_fds = 2; open_fds > 0;) {
		struct pollfd p[2] = { { fds[0], POLLIN, 0 }, { c->err_fd, POLLIN, 0 } };
		char buf[512];

		if (poll(p, 2, -1) < 0 && errno != EINTR)
			break;
		if (fds[0] >= 0 && p[0].revents) {
			const ssize_t n = read(fds[0], buf, sizeof buf);
			if (n <= 0 && !(n < 0 && errno == EINTR)) {
				close(fds[0]);
				fds[0] = -1;
				open_fds--;
			}
			for (ssize_t i = 0; i < n && used + 1 < out_size; i++)
				out[used++] = buf[i];
			out[used] = '\0';
		}
		if (c->err_fd >= 0 && p[1].revents) {
			child_read(c);
			if (c->err_fd < 0)
				open_fds--;
		}
	}
	if (fds[0] >= 0)
		close(fds[0]);
	child_finish(c);
	return c->status;
}

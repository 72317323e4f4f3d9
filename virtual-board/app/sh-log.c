// SPDX-License-Identifier: MIT
/*
 * /bin/sh on the virtual board: busybox's shell. A command line handed to
 * it with -c, as system() hands each one, is first appended to
 * /run/vboard/commands with the board's uptime and the pid of the program
 * that ran it, so that the commands a program ran, and when, can be read
 * back in order. Newlines and backslashes in a command are written as \n
 * and \\: one record a line.
 */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#define LOG "/run/vboard/commands"

static void log_command(const char *cmd)
{
	char uptime[32] = "?", rec[4096];
	size_t n = 0;
	int fd = open("/proc/uptime", O_RDONLY);

	if (fd >= 0) {
		ssize_t got = read(fd, uptime, sizeof(uptime) - 1);

		uptime[got > 0 ? got : 0] = '\0';
		uptime[strcspn(uptime, " \n")] = '\0';
		close(fd);
	}
	n = (size_t)snprintf(rec, sizeof(rec), "%s %d ", uptime, (int)getppid());
	for (; *cmd && n < sizeof(rec) - 3; cmd++) {
		if (*cmd == '\n' || *cmd == '\\') {
			rec[n++] = '\\';
			rec[n++] = *cmd == '\n' ? 'n' : '\\';
		} else {
			rec[n++] = *cmd;
		}
	}
	rec[n++] = '\n';
	fd = open(LOG, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
	if (fd >= 0) {
		if (write(fd, rec, n) != (ssize_t)n)
			perror("sh: " LOG);
		close(fd);
	}
}

int main(int argc, char **argv)
{
	if (argc >= 3 && strcmp(argv[1], "-c") == 0)
		log_command(argv[2]);
	argv[0] = "sh";
	execv("/bin/busybox", argv);
	perror("sh: /bin/busybox");
	return 127;
}

// SPDX-License-Identifier: MIT
/*
 * zid-Monitor for the virtual board: the program the launcher hands the
 * board over to. It reports the machine it runs on, what it was given
 * (its arguments, the application program unpacked in /tmp, the
 * descriptors it inherited), then starts the application program and
 * waits for it. When the application fails (ends with a status other
 * than 0) it reboots the board. An application that hangs never ends:
 * it stops feeding the board's watchdog, which resets the board.
 */
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#define APP "/tmp/mp.elf.strip"

/* Appends " FD PATH" to list for every inherited descriptor whose target
 * starts with prefix (NULL: every one above standard error that is neither
 * an I2C bus nor a flash partition); returns how many there were. */
static int open_descriptors(const char *prefix, char *list, size_t size)
{
	DIR *dir = opendir("/proc/self/fd");
	struct dirent *e;
	int count = 0;

	list[0] = '\0';
	if (!dir)
		return -1;
	while ((e = readdir(dir)) != NULL) {
		char path[sizeof("/proc/self/fd/") + sizeof(e->d_name)], target[256];
		ssize_t n;
		int fd = atoi(e->d_name);

		if (e->d_name[0] == '.' || fd == dirfd(dir))
			continue;
		snprintf(path, sizeof(path), "/proc/self/fd/%s", e->d_name);
		n = readlink(path, target, sizeof(target) - 1);
		if (n < 0)
			continue;
		target[n] = '\0';
		if (prefix ? strncmp(target, prefix, strlen(prefix)) != 0
			   : fd <= 2 || strncmp(target, "/dev/i2c-", 9) == 0 ||
				     strncmp(target, "/dev/mtd", 8) == 0)
			continue;
		size_t used = strlen(list);
		snprintf(list + used, size - used, " %d=%s", fd, target);
		count++;
	}
	closedir(dir);
	return count;
}

static const char *machine(void)
{
	static struct utsname u;

	return uname(&u) == 0 ? u.machine : "unknown";
}

static int byte_order_is_big(void)
{
	const unsigned int word = 1;

	return *(const unsigned char *)&word == 0;
}

int main(int argc, char **argv)
{
	char list[1024];
	int status, n;
	pid_t pid;

	printf("zid-Monitor: got control, pid %d, argc %d", (int)getpid(), argc);
	for (int i = 0; i < argc; i++)
		printf(", argv[%d] \"%s\"", i, argv[i]);
	printf("\n");

	printf("zid-Monitor: machine %s, %s-endian\n", machine(),
	       byte_order_is_big() ? "big" : "little");
	printf("zid-Monitor: %s %s\n", APP,
	       access(APP, X_OK) == 0 ? "present" : "MISSING");

	n = open_descriptors("/dev/i2c-", list, sizeof(list));
	printf("zid-Monitor: I2C descriptors open:%s\n", n == 0 ? " none" : list);
	n = open_descriptors("/dev/mtd", list, sizeof(list));
	printf("zid-Monitor: flash descriptors open (%d):%s\n", n, list);
	n = open_descriptors(NULL, list, sizeof(list));
	printf("zid-Monitor: other descriptors open:%s\n", n == 0 ? " none" : list);

	printf("zid-Monitor: starting %s\n", APP);
	fflush(stdout);
	pid = fork();
	if (pid == 0) {
		execl(APP, APP, (char *)NULL);
		perror("zid-Monitor: " APP);
		_exit(127);
	}
	if (pid < 0 || waitpid(pid, &status, 0) != pid) {
		perror("zid-Monitor: fork");
		return 1;
	}
	status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	printf("zid-Monitor: %s ended with status %d\n", APP, status);
	if (status != 0) {
		printf("zid-Monitor: the application failed: rebooting, as the watchdog would\n");
		fflush(stdout);
		execl("/sbin/reboot", "reboot", (char *)NULL);
		perror("zid-Monitor: /sbin/reboot");
		return 1;
	}
	return 0;
}

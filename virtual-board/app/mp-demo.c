// SPDX-License-Identifier: MIT
/*
 * The demo images' application program (home/bin/mp.elf.strip in the
 * payload): tells which image it came from, how it was started and
 * whether a library was preloaded into it. A payload with home/etc/fails
 * is an application that fails (exit status 1); one with home/etc/confirms
 * checks its health once it runs and confirms its trial, as a healthy
 * application does, or fails when the check fails: on a board started
 * with vboard.unhealthy (rc.start leaves /run/vboard/unhealthy), whatever
 * the image. One with home/etc/hangs hangs: it says so and stops serving.
 *
 * As the board's application it arms the board's watchdog (/dev/watchdog)
 * while it works and feeds it; a hung application no longer feeds it, and
 * the watchdog resets the board. Before it ends, failing or not, it stops
 * the watchdog with the magic close: zid-Monitor takes over from there.
 */
#include <errno.h>
#include <fcntl.h>
#include <linux/watchdog.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define WATCHDOG "/dev/watchdog"
/* Seconds without a feed before the watchdog resets the board. The
 * application feeds it at least every 100 ms while it works, so 3 s leave
 * room for a slow, loaded emulator; a hung application costs the board
 * (and each test row that hangs one) about 3 s more before the reset. */
#define WATCHDOG_TIMEOUT 3

/* Opens and arms the watchdog; returns its descriptor, or -1 (said in one
 * line) on a board without one: the application goes on without it. */
static int watchdog_arm(void)
{
	int timeout = WATCHDOG_TIMEOUT;
	int fd = open(WATCHDOG, O_WRONLY);

	if (fd < 0) {
		fprintf(stderr, "mp.elf.strip: no watchdog: %s: %s\n", WATCHDOG, strerror(errno));
		return -1;
	}
	if (ioctl(fd, WDIOC_SETTIMEOUT, &timeout) != 0)
		fprintf(stderr, "mp.elf.strip: %s: timeout of %d s not set: %s\n", WATCHDOG,
		       WATCHDOG_TIMEOUT, strerror(errno));
	return fd;
}

/* Returns 0 when fed (or there is no watchdog), -1 (said) otherwise. */
static int watchdog_feed(int fd)
{
	if (fd < 0 || ioctl(fd, WDIOC_KEEPALIVE, 0) == 0)
		return 0;
	fprintf(stderr, "mp.elf.strip: %s: not fed: %s\n", WATCHDOG, strerror(errno));
	return -1;
}

/* The magic close: 'V' written, then the descriptor closed, stops it. */
static void watchdog_disarm(int fd)
{
	if (fd < 0)
		return;
	if (write(fd, "V", 1) != 1)
		fprintf(stderr, "mp.elf.strip: %s: magic close not written: %s\n", WATCHDOG,
		       strerror(errno));
	if (close(fd) != 0)
		fprintf(stderr, "mp.elf.strip: %s: not closed: %s\n", WATCHDOG, strerror(errno));
}

/* Runs command with /bin/sh -c, as system() does, feeding the watchdog
 * every 100 ms until it ends (after a feed that failed, no more). */
static void run_fed(const char *command, int wd)
{
	const struct timespec tick = { 0, 100 * 1000 * 1000 };
	int status;
	pid_t pid;

	fflush(stdout);
	pid = fork();
	if (pid < 0) {
		perror("mp.elf.strip: fork");
		return;
	}
	if (pid == 0) {
		execl("/bin/sh", "sh", "-c", command, (char *)NULL);
		perror("mp.elf.strip: /bin/sh");
		_exit(127);
	}
	while (waitpid(pid, &status, WNOHANG) == 0) {
		if (watchdog_feed(wd) != 0)
			wd = -1;
		nanosleep(&tick, NULL);
	}
}

/* The application's own work: 0 when it ends well, 1 when it fails. */
static int work(int wd)
{
	if (access("/tmp/home/etc/fails", F_OK) == 0) {
		printf("mp.elf.strip: failing\n");
		return 1;
	}
	if (access("/tmp/home/etc/hangs", F_OK) == 0) {
		/* Stops serving, and feeding the watchdog, for ever. */
		printf("mp.elf.strip: hanging\n");
		fflush(stdout);
		for (;;)
			pause();
	}
	if (access("/tmp/home/etc/confirms", F_OK) != 0)
		return 0;
	if (access("/run/vboard/unhealthy", F_OK) == 0) {
		printf("mp.elf.strip: health check failed\n");
		return 1;
	}
	/* A confirm that is refused says why; the application runs on. */
	run_fed("/usr/sbin/vemra-boot confirm", wd);
	return 0;
}

int main(int argc, char **argv)
{
	char release[64] = "unknown image";
	FILE *f = fopen("/tmp/home/etc/release", "r");
	const char *preload = getenv("LD_PRELOAD");
	int wd, status;

	if (f) {
		if (fgets(release, sizeof(release), f))
			release[strcspn(release, "\n")] = '\0';
		fclose(f);
	}
	printf("mp.elf.strip: application of %s running as \"%s\" (argc %d), LD_PRELOAD %s\n",
	       release, argv[0], argc, preload ? preload : "unset");
	fflush(stdout);
	wd = watchdog_arm();
	status = work(wd);
	watchdog_disarm(wd);
	return status;
}

/*
 * The demo images' application program (home/bin/mp.elf.strip in the
 * payload): tells which image it came from, how it was started and
 * whether a library was preloaded into it. A payload with home/etc/fails
 * is an application that fails (exit status 1); one with home/etc/confirms
 * checks its health once it runs and confirms its trial, as a healthy
 * application does, or fails when the check fails: on a board started
 * with vboard.unhealthy (rc.start leaves /run/vboard/unhealthy), whatever
 * the image.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	char release[64] = "unknown image";
	FILE *f = fopen("/tmp/home/etc/release", "r");
	const char *preload = getenv("LD_PRELOAD");

	if (f) {
		if (fgets(release, sizeof(release), f))
			release[strcspn(release, "\n")] = '\0';
		fclose(f);
	}
	printf("mp.elf.strip: application of %s running as \"%s\" (argc %d), LD_PRELOAD %s\n",
	       release, argv[0], argc, preload ? preload : "unset");
	fflush(stdout);
	if (access("/tmp/home/etc/fails", F_OK) == 0) {
		printf("mp.elf.strip: failing\n");
		return 1;
	}
	if (access("/tmp/home/etc/confirms", F_OK) != 0)
		return 0;
	if (access("/run/vboard/unhealthy", F_OK) == 0) {
		printf("mp.elf.strip: health check failed\n");
		return 1;
	}
	/* A confirm that is refused says why; the application runs on. */
	if (system("/usr/sbin/vemra-boot confirm") < 0)
		perror("mp.elf.strip: /bin/sh");
	return 0;
}

/*
 * The demo images' application program (home/bin/mp.elf.strip in the
 * payload): tells which image it came from, how it was started and
 * whether a library was preloaded into it.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
	return 0;
}

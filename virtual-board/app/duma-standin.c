// SPDX-License-Identifier: MIT
/*
 * Stand-in for the DUMA memory-debugging library, libduma.so.0.0.0: the
 * virtual board has no DUMA, so this library only shows that the
 * memory-checking launch line preloaded it into the application.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <stdio.h>

__attribute__((constructor)) static void duma_standin_loaded(void)
{
	printf("libduma.so.0.0.0 (stand-in): preloaded into %s\n",
	       program_invocation_name);
	fflush(stdout);
}

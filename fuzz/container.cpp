// The container check of the launcher on any slot file (extract_image,
// first or second attempt) and on any rescue partition
// (extract_image_from_flash). Input: byte 0 picks the place (bit 0: the
// rescue partition) and, for a slot, the attempt (bit 1: the second);
// the rest is the file or the partition. The console answers nothing at
// the install prompt (end of input).
//
// Beyond what the sanitizers catch (nothing read outside a buffer,
// nothing leaked at the hand-over or the reset):
//  - the run ends in the hand-over, in the reset with exit status 0, or
//    with the result 0 that sends main on to the other slot;
//  - one allocation at most, of length + 16 bytes, and none when that sum
//    wraps 32 bits; above 1 MiB the memory is refused, as on a board
//    whose memory ends;
//  - at the hand-over the staging archive holds the length bytes after
//    the header (a partition reads as zeros past its end).
#include "launcher_stub.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

static std::string slot_file, staging_file; // files in memory, named by their /proc paths
static int slot_fd, staging_fd;
static int report_fd = 2; // standard error as it was before libFuzzer closed it

#define CHECK(ok) ((ok) ? (void)0 : (dprintf(report_fd, "property broken: %s\n", #ok), abort()))

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	report_fd = dup(2);
	slot_fd = memfd_create("slot", 0);
	staging_fd = memfd_create("staging", 0);
	slot_file = "/proc/self/fd/" + std::to_string(slot_fd);
	staging_file = "/proc/self/fd/" + std::to_string(staging_fd);
	stub.slot[0] = slot_file.c_str();
	stub.staging = staging_file.c_str();
	stub.memory = 1 << 20;
	return freopen("/dev/null", "r", stdin) && slot_fd >= 0 && staging_fd >= 0 ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 1)
		return 0;
	const bool rescue = data[0] & 1;
	std::vector<uint8_t> image(data + 1, data + size);
	CHECK(ftruncate(slot_fd, 0) == 0 && ftruncate(staging_fd, 0) == 0 &&
	      pwrite(slot_fd, image.data(), image.size(), 0) == (ssize_t)image.size());
	stub.rescue = image.data();
	stub.rescue_size = rescue ? image.size() : 0; // the slot's fallback finds no rescue image
	tried_alt_image = (data[0] & 2) != 0;

	const stub_result r = stub_run(rescue ? extract_image_from_flash : +[] { return extract_image(1); });

	CHECK(r.end == STUB_EXECED || r.value == 0); // the hand-over, the reset with status 0, or 0
	image.resize(std::max<size_t>(image.size(), 16)); // zeros past the end
	const uint64_t need = ((uint64_t)image[4] << 24 | image[5] << 16 | image[6] << 8 | image[7]) + 16;
	// One buffer of length + 16 bytes at most, none when that wraps.
	CHECK(stub.largest_alloc <= need && (need < UINT64_C(1) << 32 || stub.largest_alloc == 0));
	if (r.end == STUB_EXECED) { // the whole image held, its payload staged
		image.resize(need);
		std::vector<uint8_t> staged(need + 1);
		CHECK(stub.largest_alloc == need && pread(staging_fd, staged.data(), staged.size(), 0) == (ssize_t)need - 16 &&
		      std::equal(image.begin() + 16, image.end(), staged.begin()));
	}
	return 0;
}

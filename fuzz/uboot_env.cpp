// parse_uboot_env on any environment partition (the input: U-Boot's
// checksum in bytes 0 to 3, then the variables; a short input is a short
// partition). Beyond what the sanitizers catch: the read asked for is
// bytes 4 to 1283 of the environment partition, the on/off switches end
// as 0 or 1, and a setting whose key does not occur in the bytes read
// stays 0.
#include "board_api.h"
#include "settings.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

int uboot_env_fd = 7;

static const uint8_t *partition;
static size_t partition_size;

// The board layer's read: as many bytes as the partition holds.
int api_flash_read(uint8_t *buffer, int fd, uint32_t offset, uint32_t length)
{
	if (fd != uboot_env_fd || offset != 4 || length != 1280)
		abort();
	if (partition_size > offset)
		memcpy(buffer, partition + offset, std::min<size_t>(length, partition_size - offset));
	return 0;
}

static bool read_has(const char *key)
{
	const size_t end = std::min<size_t>(partition_size, 1284);

	return end > 4 && memmem(partition + 4, end - 4, key, strlen(key));
}

static bool on_off(int v)
{
	return v == 0 || v == 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	partition = data;
	partition_size = size;
	launch_settings = launch_settings_t{};
	parse_uboot_env();

	const launch_settings_t &s = launch_settings;
	if (!on_off(s.gdb_enable) || !on_off(s.shell_enable) || !on_off(s.memchk_enable) || !on_off(s.rescue_enable) ||
	    (s.gdb_enable && !read_has("gdb=")) || (s.gdbserver && !read_has("gdbserver=")) ||
	    (s.gdbport && !read_has("gdbport=")) || (s.shell_enable && !read_has("shell=")) ||
	    (s.memchk_enable && !read_has("memchk=")) || (s.rescue_enable && !read_has("diagnostics=")))
		abort();
	return 0;
}

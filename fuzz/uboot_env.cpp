// parse_uboot_env on any environment partition (the input: checksum bytes
// 0 to 3, then the variables; a short input is a short partition), checked
// field by field against an independent model of the key table
// (env_model.h). A number out of the 32-bit signed range has no fixed
// value and its field is not compared.
#include "env_model.h"
#include "fake_board.h"
#include "fake_platform.h"
#include "launch.h"
#include "board_api.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	board_begin();
	board.i2c_open = true;
	board.env.assign(data, data + size);
	api_flash_init();
	launch_settings = launch_settings_t{};
	parse_uboot_env();
	platform.events.clear();

	const env_model m = model_env(std::string(data, data + size));
	const launch_settings_t &s = launch_settings;
	if (s.gdb_enable != m.gdb_enable || (!m.gdbserver_free && s.gdbserver != m.gdbserver) ||
	    (!m.gdbport_free && s.gdbport != m.gdbport) || s.shell_enable != m.shell_enable ||
	    s.memchk_enable != m.memchk_enable || s.rescue_enable != m.rescue_enable || !platform.faults.empty()) {
		fprintf(stderr, "settings %d %u %d %d %d %d, model %d %u %d %d %d %d\n", s.gdb_enable,
			s.gdbserver, s.gdbport, s.shell_enable, s.memchk_enable, s.rescue_enable,
			m.gdb_enable, m.gdbserver, m.gdbport, m.shell_enable, m.memchk_enable,
			m.rescue_enable);
		abort();
	}
	return 0;
}

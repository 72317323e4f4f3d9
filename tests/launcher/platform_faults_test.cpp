// SPDX-License-Identifier: MIT
// The launch where no board state can lead it: the system cannot run a
// shell at all (system() returns -1), and there is no memory for the
// environment that preloads the DUMA library. The launch runs in this
// process over stand-ins for the platform
// (launcher_stub.h).
#include "launcher_stub.h"

#include <gtest/gtest.h>

namespace {

struct fault_case {
	const char *name;
	int system_result;
	bool memchk;
	int failing_alloc;
	const char *err;
};

TEST(launch, platform_faults_end_in_the_reset)
{
	const fault_case cases[] = {
		{ "no shell for the unpack, nor for the reboot", -1, false, 0,
		  "Failed to gunzip Application OS.\nSystem reboot failed, please power-cycle.\n" },
		{ "no memory for the DUMA environment", 0, true, 1, "Failed to start Application OS.\n" },
	};
	for (const fault_case &c : cases) {
		SCOPED_TRACE(c.name);
		stub.system_result = c.system_result;
		stub.failing_alloc = c.failing_alloc;
		launch_settings = launch_settings_t{};
		launch_settings.memchk_enable = c.memchk;
		fflush(stdout);
		testing::internal::CaptureStdout();
		testing::internal::CaptureStderr();
		const stub_result r = stub_run([]() -> int { launch_image(); });
		const std::string out = testing::internal::GetCapturedStdout();

		EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
		EXPECT_EQ(out, "");
		EXPECT_EQ(r.end, STUB_EXITED);
		EXPECT_EQ(r.value, 0);
	}
}

} // namespace

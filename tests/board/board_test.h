// Shared by the board layer's tests.
#ifndef TESTS_BOARD_BOARD_TEST_H
#define TESTS_BOARD_BOARD_TEST_H

#include "console.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

// Runs op and returns its result, with what it printed on standard output
// in *out; the board layer never writes to standard error.
inline int run_captured(const std::function<int()> &op, std::string *out)
{
	console_begin();
	int rc = op();
	console_capture c = console_end();
	*out = c.out;
	EXPECT_EQ(c.err, "");
	return rc;
}

#endif

// Shared by the fuzz targets that run the launcher in the test sandbox.
#ifndef FUZZ_SANDBOX_CHECK_H
#define FUZZ_SANDBOX_CHECK_H

#include "fake_platform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

// Stops the fuzzer when the launcher disagrees with the model, or when a
// fake recorded a failure during the run.
inline void check(bool ok, const char *what)
{
	if (!ok || testing::UnitTest::GetInstance()->ad_hoc_test_result().Failed()) {
		fprintf(stderr, "model mismatch: %s\n", what);
		abort();
	}
}

// A sandboxed file's contents, or "(no file)".
inline std::string file(const std::string &path)
{
	std::ifstream f(sandbox(path), std::ios::binary);
	return f ? std::string(std::istreambuf_iterator<char>(f), {}) : "(no file)";
}

#endif

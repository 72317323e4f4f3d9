// "vemra-image list" and "vemra-image verify" on any file, and the
// in-memory check_image on the same bytes. Checked beyond "no crash":
//  - exit status 0 exactly when the independent model (crc_model.h) finds
//    a valid container, 1 otherwise (never 2 for a readable file);
//  - verify prints "FILE: OK" on standard output for a valid image, else
//    one line "vemra-image: FILE: reason" on standard error and nothing
//    on standard output;
//  - list prints its "Image:" line first and "Verdict:   valid" last for
//    a valid image, some other verdict otherwise, nothing on standard error;
//  - check_image and check_image_fd reach the same verdict and header.
#include "console.h"
#include "container.h"
#include "crc_model.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

int vemra_image_main(int argc, char **argv);

static void check(bool ok, const char *what)
{
	if (!ok) {
		fprintf(stderr, "model mismatch: %s\n", what);
		abort();
	}
}

static int run(const char *cmd, const char *path, console_capture *con)
{
	char *argv[] = { (char *)"vemra-image", (char *)cmd, (char *)path, nullptr };

	console_begin();
	const int rc = vemra_image_main(3, argv);
	*con = console_end();
	return rc;
}

static bool ends_with(const std::string &s, const std::string &tail)
{
	return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	// A scratch file with no name left behind, read through /proc.
	static char scratch[] = "/tmp/vemra-fuzz-image-XXXXXX";
	static const int fd = mkstemp(scratch);
	static const bool unlinked = fd >= 0 && unlink(scratch) == 0;
	static const std::string p = "/proc/self/fd/" + std::to_string(fd);
	const char *path = p.c_str();
	uint64_t length;
	const bool valid = model_container(data, size, &length) == M_VALID;

	check(unlinked && ftruncate(fd, 0) == 0 && pwrite(fd, data, size, 0) == (ssize_t)size,
	      "scratch file");
	console_capture v, l;
	const int vrc = run("verify", path, &v), lrc = run("list", path, &l);

	check(vrc == (valid ? 0 : 1) && lrc == vrc, "exit status");
	if (valid) {
		check(v.out == p + ": OK\n" && v.err.empty(), "verify's report of a valid image");
	} else {
		check(v.out.empty() && v.err.rfind("vemra-image: " + p + ": ", 0) == 0 &&
			      v.err.find('\n') == v.err.size() - 1,
		      "verify's report of a rejected image");
	}
	check(l.err.empty() && l.out.rfind("Image:     " + p + "\n", 0) == 0 &&
		      ends_with(l.out, "Verdict:   valid\n") == valid,
	      "list's report");

	const image_check mem = check_image(data, size);
	image_check file;
	check(lseek(fd, 0, SEEK_SET) == 0 && check_image_fd(fd, -1, &file) == IMAGE_IO_OK,
	      "reading the scratch file");
	check((mem.verdict == IMAGE_VALID) == valid && mem.verdict == file.verdict &&
		      mem.have == file.have && mem.want == file.want &&
		      (size < 16 || memcmp(&mem.header, &file.header, sizeof mem.header) == 0),
	      "check_image and check_image_fd agree");
	return 0;
}

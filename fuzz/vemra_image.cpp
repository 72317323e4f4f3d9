// "vemra-image verify" and "list" on any file, and the in-memory
// check_image on the same bytes, against the independent model of
// crc_model.h: exit status 0 exactly for a valid container, else 1 (never
// 2 for a readable file); verify's "FILE: OK" on stdout, or one line
// "vemra-image: FILE: reason" on stderr; list's "Image:" line first and
// "Verdict:   valid" only for a valid image; check_image and check_image_fd
// reach the same verdict and header.
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	// A scratch file with no name left behind, read through /proc.
	static char scratch[] = "/tmp/vemra-fuzz-image-XXXXXX";
	static const int fd = mkstemp(scratch);
	static const bool unlinked = fd >= 0 && unlink(scratch) == 0;
	static const std::string p = "/proc/self/fd/" + std::to_string(fd);
	uint64_t length;
	const bool valid = model_container(data, size, &length) == M_VALID;
	console_capture v, l;

	check(unlinked && ftruncate(fd, 0) == 0 && pwrite(fd, data, size, 0) == (ssize_t)size,
	      "scratch file");
	const int vrc = run("verify", p.c_str(), &v), lrc = run("list", p.c_str(), &l);

	check(vrc == (valid ? 0 : 1) && lrc == vrc, "exit status");
	check(valid ? v.out == p + ": OK\n" && v.err.empty()
		    : v.out.empty() && v.err.rfind("vemra-image: " + p + ": ", 0) == 0 &&
			      v.err.find('\n') == v.err.size() - 1,
	      "verify's report");
	check(l.err.empty() && l.out.rfind("Image:     " + p + "\n", 0) == 0 &&
		      (l.out.find("\nVerdict:   valid\n") != std::string::npos) == valid,
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

// Fixtures of the launcher's tests: real tar.gz payloads, image containers
// (good and damaged), boot-loader environments from U-Boot's mkenvimage.
#ifndef TESTS_LAUNCHER_FIXTURES_H
#define TESTS_LAUNCHER_FIXTURES_H

#include "container.h"
#include "launch.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

using bytes = std::vector<uint8_t>;

inline std::string as_text(const bytes &b)
{
	return std::string(b.begin(), b.end());
}

// A file's contents, or "(no file)".
inline std::string contents(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	if (!f || !std::filesystem::is_regular_file(path))
		return "(no file)";
	return std::string(std::istreambuf_iterator<char>(f), {});
}

inline void put_file(const std::string &path, const bytes &data)
{
	std::ofstream(path, std::ios::binary).write((const char *)data.data(), data.size());
}

// What a host tool's shell command writes to `output` in a scratch
// directory; made once per command.
inline const bytes &tool_output(const std::string &command, const std::string &output)
{
	static std::map<std::string, bytes> made;
	bytes &b = made[command];
	std::string dir = (std::filesystem::temp_directory_path() / "vemra-fixture-XXXXXX").string();

	if (b.empty()) {
		if (!mkdtemp(dir.data()) || system(("cd " + dir + " && { " + command + "; } >/dev/null 2>&1").c_str()))
			abort();
		std::string out = contents(dir + "/" + output);
		b.assign(out.begin(), out.end());
		std::filesystem::remove_all(dir);
	}
	return b;
}

// The application program inside a payload tagged `tag`.
inline std::string program_of(const std::string &tag)
{
	return tag + " application\n";
}

// A gzip-compressed tar archive holding home/bin/mp.elf.strip.
inline const bytes &payload(const std::string &tag)
{
	return tool_output("mkdir -p home/bin && printf '" + program_of(tag) +
			   "' >home/bin/mp.elf.strip && tar czf p.tgz home", "p.tgz");
}

// An environment partition of 8 KiB: mkenvimage of `vars`, one per line.
inline const bytes &env_image(const std::string &vars)
{
	return tool_output("printf '%s' '" + vars + "' >vars && mkenvimage -s 0x2000 -o env vars", "env");
}

enum image_kind { NONE, VALID, EMPTY, BAD_MAGIC, BAD_CRC, SHORT, TRUNCATED, WRAPPED };

// A container of `tag`'s payload, made as `kind` says.
inline bytes image(image_kind kind, const std::string &tag)
{
	if (kind == NONE)
		return {};
	bytes v = make_image(kind == EMPTY ? bytes() : payload(tag));
	if (kind == BAD_MAGIC) { // the magic in little-endian order: 49 52 4F 01
		std::swap(v[8], v[11]);
		std::swap(v[9], v[10]);
	}
	if (kind == BAD_CRC) // reserved changed without a new checksum
		v[15] ^= 1;
	if (kind == SHORT) // magic present, but less than a header
		v.resize(12);
	if (kind == TRUNCATED) // the gzip trailer's last byte, 0 for a small tar
		v.pop_back();
	if (kind == WRAPPED) // length + 16 overflows 32 bits
		put_be32(&v[4], 0xFFFFFFF0);
	return v;
}

#endif

// Fixtures of the launcher's tests: real tar.gz payloads, image containers
// (good and damaged), boot-loader environments from U-Boot's mkenvimage.
#ifndef TESTS_LAUNCHER_FIXTURES_H
#define TESTS_LAUNCHER_FIXTURES_H

#include "container.h"
#include "launch.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <tuple>
#include <vector>

using bytes = std::vector<uint8_t>;

// A file's contents, or "(no file)".
inline std::string contents(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	if (!std::filesystem::is_regular_file(path) || !f)
		return "(no file)";
	return std::string(std::istreambuf_iterator<char>(f), {});
}

inline void put_file(const std::string &path, const bytes &data)
{
	std::ofstream(path, std::ios::binary).write((const char *)data.data(), data.size());
}

inline std::string as_text(const bytes &b)
{
	return std::string(b.begin(), b.end());
}

// Runs a host tool in a scratch directory and returns what it wrote to
// `output` there (the tool's console goes to /dev/null).
inline bytes tool_output(const std::string &command, const std::string &output)
{
	namespace fs = std::filesystem;
	std::string dir = (fs::temp_directory_path() / "vemra-fixture-XXXXXX").string();
	if (!mkdtemp(dir.data()))
		abort();
	if (system(("cd " + dir + " && { " + command + "; } >/dev/null 2>&1").c_str()) != 0)
		abort();
	std::string out = contents(dir + "/" + output);
	fs::remove_all(dir);
	return bytes(out.begin(), out.end());
}

// The application program inside a payload tagged `tag`.
inline std::string program_of(const std::string &tag)
{
	return tag + " application\n";
}

// A gzip-compressed tar archive holding home/bin/mp.elf.strip.
inline const bytes &payload(const std::string &tag)
{
	static std::map<std::string, bytes> made;
	bytes &p = made[tag];
	if (p.empty())
		p = tool_output("mkdir -p home/bin && printf '" + program_of(tag) +
				"' >home/bin/mp.elf.strip && tar czf p.tgz home", "p.tgz");
	return p;
}

// An environment partition of 8 KiB: mkenvimage of `vars`, one per line.
inline bytes env_image(const std::string &vars)
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
	switch (kind) {
	case BAD_MAGIC: // the magic in little-endian order: 49 52 4F 01
		std::swap(v[8], v[11]);
		std::swap(v[9], v[10]);
		break;
	case BAD_CRC: // reserved changed without a new checksum
		v[15] ^= 1;
		break;
	case SHORT: // magic present, but less than a header
		v.resize(12);
		break;
	case TRUNCATED:
		v.pop_back();
		break;
	case WRAPPED: // length + 16 overflows 32 bits
		put_be32(&v[4], 0xFFFFFFF0);
		break;
	default:
		break;
	}
	return v;
}

// The settings as one comparable value.
inline auto fields(const launch_settings_t &s)
{
	return std::make_tuple(s.gdb_enable, s.gdbserver, s.gdbport, (int)s.shell_enable,
			       (int)s.memchk_enable, s.rescue_enable);
}

#endif

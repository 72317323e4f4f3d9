// An independent model of the launch settings that the boot loader's
// environment yields: the key table applied to the 1280 bytes after the
// environment's checksum, written from the key table alone (own substring
// search, own "%d" scanner), not from the launcher's code.
#ifndef FUZZ_ENV_MODEL_H
#define FUZZ_ENV_MODEL_H

#include <cstdint>
#include <string>

struct env_model {
	int32_t gdb_enable = 0;
	uint32_t gdbserver = 0;
	int32_t gdbport = 0;
	uint8_t shell_enable = 0;
	uint8_t memchk_enable = 0;
	int32_t rescue_enable = 0;
	// A number whose digits leave the 32-bit signed range has no fixed
	// value: the field is then not compared.
	bool gdbserver_free = false;
	bool gdbport_free = false;
};

namespace env_detail {

inline bool is_c_space(char c)
{
	return c == ' ' || (c >= '\t' && c <= '\r');
}

// One "%d" conversion at text[*pos]: white space, optional sign, at least
// one digit. Returns false on a matching failure.
inline bool scan_d(const std::string &t, size_t *pos, int64_t *v, bool *overflow)
{
	size_t i = *pos;
	bool neg = false;
	int64_t n = 0;

	while (i < t.size() && is_c_space(t[i]))
		i++;
	if (i < t.size() && (t[i] == '+' || t[i] == '-'))
		neg = t[i++] == '-';
	if (i >= t.size() || t[i] < '0' || t[i] > '9')
		return false;
	*overflow = false;
	for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; i++) {
		n = n * 10 + (t[i] - '0');
		if (n > 2147483648LL) {
			*overflow = true;
			n = 2147483648LL;
		}
	}
	if (neg)
		n = -n;
	if (n > INT32_MAX)
		*overflow = true;
	*v = n;
	*pos = i;
	return true;
}

inline bool starts(const std::string &t, size_t pos, const char *s)
{
	return t.compare(pos, std::char_traits<char>::length(s), s) == 0;
}

} // namespace env_detail

// `env` is the environment partition as far as it could be read (bytes
// 0 to 3 the checksum); bytes the partition does not hold count as 0.
inline env_model model_env(const std::string &partition)
{
	using namespace env_detail;
	std::string t = partition.size() > 4 ? partition.substr(4, 1280) : "";
	env_model m;
	size_t p;

	t.resize(1280, '\0');
	for (char &c : t)
		if (c == '\0')
			c = ' ';
	if ((p = t.find("gdb=")) != std::string::npos)
		m.gdb_enable = starts(t, p + 4, "on");
	if ((p = t.find("gdbserver=")) != std::string::npos) {
		size_t i = p + 10;
		int64_t n[4];
		bool ovf, any_ovf = false, ok = true;

		for (int k = 0; k < 4 && ok; k++) {
			if (k > 0)
				ok = i < t.size() && t[i++] == '.';
			ok = ok && scan_d(t, &i, &n[k], &ovf);
			any_ovf |= ok && ovf;
		}
		if (ok)
			m.gdbserver = ((uint32_t)n[0] << 24) + ((uint32_t)n[1] << 16) +
				      ((uint32_t)n[2] << 8) + (uint32_t)n[3];
		m.gdbserver_free = ok && any_ovf;
	}
	if ((p = t.find("gdbport=")) != std::string::npos) {
		size_t i = p + 8;
		int64_t n;
		bool ovf;

		if (scan_d(t, &i, &n, &ovf)) {
			m.gdbport = (int32_t)n;
			m.gdbport_free = ovf;
		}
	}
	if ((p = t.find("shell=")) != std::string::npos)
		m.shell_enable = starts(t, p + 6, "on");
	if ((p = t.find("memchk=")) != std::string::npos)
		m.memchk_enable = starts(t, p + 7, "on");
	if ((p = t.find("diagnostics=")) != std::string::npos)
		m.rescue_enable = starts(t, p + 12, "rescue");
	return m;
}

#endif

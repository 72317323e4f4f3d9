// vemra-image: makes, lists, verifies and unpacks the launcher's image
// containers on the host.
#include <algorithm>
#include <cerrno>
#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "crc.h"
#include "image.h"
#include "meta.h"
#include "minisign.h"

// Exit status: 1 only ever means "the image is not one the launcher boots".
enum { STATUS_OK = 0, STATUS_REJECTED = 1, STATUS_ERROR = 2 };

static const char USAGE[] =
	"usage: vemra-image create -o OUT [--reserved N] PAYLOAD.tar.gz\n"
	"       vemra-image create -o OUT [--reserved N] -C DIR\n"
	"       vemra-image list IMAGE\n"
	"       vemra-image verify [--key PUB [--signature SIG]] IMAGE\n"
	"       vemra-image sign --key SECRET --version V --board B IMAGE\n"
	"       vemra-image extract IMAGE -o PAYLOAD\n"
	"       vemra-image --help\n"
	"\n"
	"  create   wrap a gzip-compressed tar archive in an image container;\n"
	"           with -C, pack the tree under DIR with tar first (members\n"
	"           relative to DIR, owned by root). N sets the reserved header\n"
	"           word (decimal, or hexadecimal with 0x).\n"
	"  list     print the header fields and whether the image is valid, and\n"
	"           what IMAGE.minisig says of it (not checked: see verify).\n"
	"  verify   check the image as the launcher does; say why it is rejected.\n"
	"           With --key, first its minisign signature (SIG, by default\n"
	"           IMAGE.minisig) with the public key PUB, as the board does,\n"
	"           and show the version and board it is signed for.\n"
	"  sign     sign a valid image with minisign's secret key SECRET\n"
	"           (IMAGE.minisig): the trusted comment says its version V\n"
	"           (numbers and dots: 2.4.1) and the board B it is for, as the\n"
	"           board's vemra-boot checks them. minisign asks for the key's\n"
	"           password, if it has one.\n"
	"  extract  write the payload of a valid image.\n"
	"\n"
	"IMAGE may be a slot file, a raw dump of a partition or a pipe\n"
	"(/dev/stdin), read once from its start: bytes after the image are\n"
	"ignored. OUT and PAYLOAD are written whole or not at all.\n"
	"\n"
	"Exit status: 0 done (for list and verify: the image is valid),\n"
	"1 image rejected, 2 usage or I/O error.\n";

static void __attribute__((format(printf, 1, 2))) error(const char *fmt, ...)
{
	va_list ap;

	fputs("vemra-image: ", stderr);
	va_start(ap, fmt);
	vfprintf(stderr, fmt, ap);
	va_end(ap);
	fputc('\n', stderr);
}

static int __attribute__((format(printf, 1, 2))) usage_error(const char *fmt, ...)
{
	va_list ap;

	fputs("vemra-image: ", stderr);
	va_start(ap, fmt);
	vfprintf(stderr, fmt, ap);
	va_end(ap);
	fputs("\nTry 'vemra-image --help'.\n", stderr);
	return STATUS_ERROR;
}

// Whole-buffer I/O over short transfers and EINTR. read_full returns the
// bytes read, fewer than n only at end of file, or -1; write_full false on
// an error.
static ssize_t read_full(int fd, uint8_t *buf, size_t n)
{
	size_t got = 0;

	while (got < n) {
		const ssize_t r = read(fd, buf + got, n - got);

		if (r < 0 && errno == EINTR)
			continue;
		if (r < 0)
			return -1;
		if (r == 0)
			break;
		got += (size_t)r;
	}
	return (ssize_t)got;
}

static bool write_full(int fd, const uint8_t *buf, size_t n)
{
	while (n > 0) {
		const ssize_t w = write(fd, buf, n);

		if (w < 0 && errno == EINTR)
			continue;
		if (w < 0)
			return false;
		buf += w;
		n -= (size_t)w;
	}
	return true;
}

static bool starts_like_gzip(const uint8_t *data, uint64_t n)
{
	return n >= 2 && data[0] == 0x1F && data[1] == 0x8B;
}

// ---- Output files, written whole or not at all: the bytes go to a
// temporary file beside the target, which is put on disk and then renamed
// over it; on any failure it is removed.

static char temp_path[PATH_MAX];

static int open_temp(const char *out)
{
	const char *slash = strrchr(out, '/');
	const int dirlen = slash ? (int)(slash - out + 1) : 0;
	int fd = -1;

	if (snprintf(temp_path, sizeof(temp_path), "%.*s.vemra-image.XXXXXX", dirlen, out) >=
	    (int)sizeof(temp_path))
		errno = ENAMETOOLONG;
	else
		fd = mkostemp(temp_path, O_CLOEXEC);
	if (fd < 0) {
		temp_path[0] = '\0';
		error("%s: cannot create a file beside it: %s", out, strerror(errno));
	}
	return fd;
}

static void discard_temp(int fd)
{
	if (fd >= 0)
		close(fd);
	if (temp_path[0])
		unlink(temp_path);
}

// Gives the temporary file the mode a new file would get, puts it on disk
// and renames it to `out`. Closes fd in every case.
static int commit_temp(int fd, const char *out)
{
	const mode_t mask = umask(0);

	umask(mask);
	if (fchmod(fd, 0666 & ~mask) == 0 && fsync(fd) == 0) {
		if (close(fd) == 0 && rename(temp_path, out) == 0)
			return STATUS_OK;
		fd = -1;
	}
	error("%s: %s", out, strerror(errno));
	discard_temp(fd);
	return STATUS_ERROR;
}

// ---- Reading and describing images.

// The image is read in pieces of this size, so that memory use does not
// depend on its length.
static const uint32_t CHUNK = 64 * 1024;

static std::string reason(const image_check &c)
{
	char s[128];

	switch (c.state) {
	case IMAGE_SHORT_HEADER:
		snprintf(s, sizeof(s), "invalid header: %u of %u bytes", c.have, IMAGE_HEADER_SIZE);
		break;
	case IMAGE_BAD_MAGIC:
		snprintf(s, sizeof(s), "invalid header: magic 0x%08X, expected 0x%08X", c.header.magic,
			 IMAGE_MAGIC);
		break;
	case IMAGE_BAD_LENGTH:
		snprintf(s, sizeof(s), "invalid length: %u bytes, at most %u", c.header.length,
			 IMAGE_MAX_LENGTH);
		break;
	case IMAGE_TRUNCATED:
		snprintf(s, sizeof(s), "truncated: %u of %u bytes", c.have, image_size(&c.header));
		break;
	case IMAGE_BAD_CRC:
		snprintf(s, sizeof(s), "checksum mismatch: crc 0x%08X, computed 0x%08X",
			 c.header.crc, c.computed_crc);
		break;
	case IMAGE_VALID:
		snprintf(s, sizeof(s), "valid");
		break;
	}
	return s;
}

// Where the pieces of a checked image go: the first two payload bytes are
// kept, to tell a gzip payload, and the payload is written to out unless
// out is -1. The payload is only whole when the image is valid.
struct payload_sink {
	int out;
	uint8_t lead[2];   // payload bytes 0 and 1
	uint32_t lead_have; // how many of them were there
};

static bool put_payload(const image_sink *sink, uint32_t offset, const uint8_t *piece,
			uint32_t count)
{
	payload_sink *p = (payload_sink *)sink->ctx;
	const uint32_t skip = offset < IMAGE_HEADER_SIZE ? IMAGE_HEADER_SIZE - offset : 0;

	if (count <= skip)
		return true;
	piece += skip;
	count -= skip;

	// Payload offset of piece[0]; the pieces come in order.
	const uint32_t at = offset + skip - IMAGE_HEADER_SIZE;

	for (uint32_t i = 0; i < count && at + i < sizeof(p->lead); i++) {
		p->lead[at + i] = piece[i];
		p->lead_have = at + i + 1;
	}
	return p->out == -1 || write_full(p->out, piece, count);
}

// An image file is read once, front to back, so that a pipe reads as a
// file does. The check reads the header, then the image again from its
// start: the header's bytes are kept for that second look, every other
// byte is read once, in order, and nothing after the image is read.
static uint8_t stream_head[IMAGE_HEADER_SIZE];
static uint32_t stream_taken; // bytes taken from the file so far (one file a run)

static int64_t stream_read(const image_source *src, uint32_t offset, uint8_t *buf, uint32_t count)
{
	const uint32_t kept = std::min(stream_taken, IMAGE_HEADER_SIZE);
	const uint32_t again = offset < kept ? std::min(kept - offset, count) : 0;

	if (offset + again != stream_taken) { // never asked: only the header is read twice
		errno = ESPIPE;
		return -1;
	}
	if (again)
		memcpy(buf, stream_head + offset, again);
	const ssize_t got = read_full(src->fd, buf + again, count - again);

	if (got < 0)
		return -1;
	for (uint32_t i = 0; i < (uint32_t)got && stream_taken + i < IMAGE_HEADER_SIZE; i++)
		stream_head[stream_taken + i] = buf[again + i];
	stream_taken += (uint32_t)got;
	return again + got;
}

// Checks the image from src as the launcher does, handing its pieces to
// p; bytes after length + 16 are not read. Returns false, having said
// why, when the image cannot be read or the payload not written.
static bool check_source(const image_source *src, const char *path, payload_sink *p,
			 const char *payload_name, image_check *c)
{
	uint8_t buf[CHUNK];
	const image_sink sink = { put_payload, p };

	image_check_all(src, c, buf, sizeof(buf), &sink);
	if (c->stopped)
		error("%s: %s", payload_name, strerror(c->error));
	else if (c->error)
		error("%s: %s", path, strerror(c->error));
	return !c->stopped && !c->error;
}

// The same for the image in the file at `path`.
static bool check_file(const char *path, payload_sink *p, const char *payload_name,
		       image_check *c)
{
	const int fd = open(path, O_RDONLY | O_CLOEXEC);

	if (fd < 0) {
		error("%s: %s", path, strerror(errno));
		return false;
	}
	image_source src = {};

	src.read = stream_read;
	src.fd = fd;
	const bool ok = check_source(&src, path, p, payload_name, c);

	close(fd);
	return ok;
}

static void print_fields(const image_check &c, const payload_sink &p)
{
	const image_header &h = c.header;
	// The check's verdict on the magic, which it tests before the length.
	const bool magic_ok = c.state != IMAGE_BAD_MAGIC;
	const bool read_on = magic_ok && c.state != IMAGE_BAD_LENGTH;

	if (c.state == IMAGE_VALID || c.state == IMAGE_BAD_CRC)
		printf("CRC:       0x%08X (%s, computed 0x%08X)\n", h.crc,
		       c.state == IMAGE_VALID ? "valid" : "mismatch", c.computed_crc);
	else
		printf("CRC:       0x%08X (not checked)\n", h.crc);
	printf("Length:    %u bytes\n", h.length);
	printf("Magic:     0x%08X (%s)\n", h.magic, magic_ok ? "valid" : "invalid");
	printf("Reserved:  0x%08X\n", h.reserved);
	if (!read_on)
		printf("Payload:   not read\n");
	else if (h.length == 0)
		printf("Payload:   empty\n");
	else
		printf("Payload:   %s\n",
		       starts_like_gzip(p.lead, p.lead_have) ? "gzip" : "not gzip");
}

// What a signature says of the image: ", version V for B", as far as it
// says it.
static std::string signed_for(const char *comment)
{
	image_meta m;

	meta_from_comment(comment, &m);
	return std::string(m.version[0] ? ", version " : "") + m.version + (m.board[0] ? " for " : "") +
	       m.board;
}

static bool read_file(const char *path, std::vector<uint8_t> *data, size_t max = SIZE_MAX);

// What IMAGE.minisig, when there is one, says of the image, unchecked.
static void print_signed(const char *path)
{
	static minisign_sig sig;
	const std::string sig_path = std::string(path) + ".minisig";
	std::vector<uint8_t> text;

	if (read_file(sig_path.c_str(), &text, MINISIGN_FILE_MAX) &&
	    minisign_parse_sig((const char *)text.data(), text.size(), &sig))
		printf("Signed:    %s%s (%s, not checked)\n", sig.prehashed ? "prehashed" : "legacy",
		       signed_for(sig.comment).c_str(), sig_path.c_str());
}

static int cmd_list(const char *path)
{
	payload_sink p = { -1, {}, 0 };
	image_check c;

	if (!check_file(path, &p, nullptr, &c))
		return STATUS_ERROR;
	printf("Image:     %s\n", path);
	if (c.state != IMAGE_SHORT_HEADER)
		print_fields(c, p);
	printf("Verdict:   %s\n", reason(c).c_str());
	print_signed(path);
	return c.state == IMAGE_VALID ? STATUS_OK : STATUS_REJECTED;
}

// A whole file of at most max bytes: false, with errno (EFBIG when it
// holds more), when it cannot be read.
static bool read_file(const char *path, std::vector<uint8_t> *data, size_t max)
{
	const int fd = open(path, O_RDONLY | O_CLOEXEC);
	uint8_t buf[CHUNK];
	ssize_t got = 0;

	while (fd >= 0 && (got = read_full(fd, buf, sizeof(buf))) > 0 && data->size() <= max)
		data->insert(data->end(), buf, buf + got);
	if (data->size() > max) {
		close(fd);
		errno = EFBIG;
		return false;
	}
	if (fd >= 0) {
		const int err = errno;

		close(fd);
		errno = err;
	}
	return fd >= 0 && got == 0;
}

// The signature of the image's bytes with the public key, checked as the
// board checks it (vemra-boot install and recovery): the same verdicts and
// reasons, but for the untrusted key, named beside the key given.
static int check_signature(const char *path, const std::vector<uint8_t> &file,
			   const char *key_path, const char *sig_path, minisign_sig *sig)
{
	std::vector<uint8_t> key_text, sig_text;
	minisign_key key;
	char id[17];

	if (!read_file(key_path, &key_text, MINISIGN_FILE_MAX) && errno != EFBIG) {
		error("%s: %s", key_path, strerror(errno));
		return STATUS_ERROR;
	}
	if (key_text.size() > MINISIGN_FILE_MAX ||
	    !minisign_parse_key((const char *)key_text.data(), key_text.size(), &key)) {
		error("%s: not a minisign public key", key_path);
		return STATUS_ERROR;
	}
	// A file longer than a signature file can be is none (as on the board).
	minisign_verdict v = MINISIGN_MALFORMED;
	if (read_file(sig_path, &sig_text, MINISIGN_FILE_MAX))
		v = minisign_check((const char *)sig_text.data(), sig_text.size(), &key, 1, file.data(),
				   file.size(), sig);
	else if (errno != EFBIG) {
		error("%s: no signature: %s", sig_path, strerror(errno));
		return STATUS_REJECTED;
	}
	if (v == MINISIGN_VALID)
		return STATUS_OK;
	if (v == MINISIGN_UNTRUSTED) {
		minisign_id_text(sig->id, id);
		error("%s: signed by key %s, not by the key in %s", path, id, key_path);
	} else {
		error("%s: %s", v == MINISIGN_BAD_SIGNATURE ? path : sig_path, minisign_reason(v));
	}
	return v == MINISIGN_NO_CRYPTO ? STATUS_ERROR : STATUS_REJECTED;
}

// The signed image: the file is read once, whole, and the signature and
// the image are checked on the same bytes, as on the board.
static int check_signed(const char *path, const char *key, const char *signature,
			payload_sink *p, image_check *c, minisign_sig *sig)
{
	const std::string default_sig = std::string(path) + ".minisig";
	std::vector<uint8_t> file;

	if (!read_file(path, &file)) {
		error("%s: %s", path, strerror(errno));
		return STATUS_ERROR;
	}
	const int status = check_signature(path, file, key, signature ? signature : default_sig.c_str(),
					   sig);
	// Bytes after the image are not looked at: 4 GiB are enough.
	const image_source src = memory_source(file.data(),
					       (uint32_t)std::min<size_t>(file.size(), UINT32_MAX));

	if (status == STATUS_OK)
		check_source(&src, path, p, nullptr, c); // bytes in memory: it cannot fail
	return status;
}

static int cmd_verify(const char *path, const char *key, const char *signature)
{
	static minisign_sig sig; // 8 KiB of comment
	payload_sink p = { -1, {}, 0 };
	image_check c;
	const int status = key ? check_signed(path, key, signature, &p, &c, &sig) :
			   check_file(path, &p, nullptr, &c) ? STATUS_OK : STATUS_ERROR;

	if (status != STATUS_OK)
		return status;
	if (c.state != IMAGE_VALID) {
		error("%s: %s", path, reason(c).c_str());
		return STATUS_REJECTED;
	}
	printf("%s: OK%s\n", path, key ? (", signed by a trusted key" + signed_for(sig.comment)).c_str() : "");
	return STATUS_OK;
}

static int cmd_extract(const char *path, const char *out)
{
	image_check c;
	const int fd = open_temp(out);

	if (fd < 0)
		return STATUS_ERROR;

	payload_sink p = { fd, {}, 0 };

	if (!check_file(path, &p, out, &c)) {
		discard_temp(fd);
		return STATUS_ERROR;
	}
	if (c.state != IMAGE_VALID) {
		discard_temp(fd);
		error("%s: %s", path, reason(c).c_str());
		return STATUS_REJECTED;
	}
	return commit_temp(fd, out);
}

// ---- Making images.

// Starts tar packing the entries of `dir` to a pipe; returns its read end.
// The members are named relative to DIR ("home/bin/..."), with no "./"
// entry: unpacked as root in /tmp, a "./" member would give /tmp the mode
// and owner of DIR. Files are recorded as root's, the owner they have on
// the board, whoever packs them; --sort=name makes the archive repeatable.
static int start_tar(const char *dir, pid_t *pid)
{
	std::vector<std::string> names;
	DIR *d = opendir(dir);

	if (!d) {
		error("%s: %s", dir, strerror(errno));
		return -1;
	}
	for (;;) {
		errno = 0;
		const dirent *e = readdir(d);

		if (!e)
			break;
		if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
			names.push_back(e->d_name);
	}
	if (errno) {
		error("%s: %s", dir, strerror(errno));
		closedir(d);
		return -1;
	}
	closedir(d);
	if (names.empty()) {
		error("%s: empty directory, nothing to pack", dir);
		return -1;
	}
	std::sort(names.begin(), names.end());

	std::vector<const char *> argv = { "tar", "-C", dir, "--sort=name", "--owner=0",
					   "--group=0", "--numeric-owner", "-czf", "-", "--" };
	for (const std::string &n : names)
		argv.push_back(n.c_str());
	argv.push_back(nullptr);

	int p[2];

	if (pipe2(p, O_CLOEXEC) < 0) {
		error("pipe: %s", strerror(errno));
		return -1;
	}
	*pid = fork();
	if (*pid < 0) {
		error("fork: %s", strerror(errno));
		close(p[0]);
		close(p[1]);
		return -1;
	}
	if (*pid == 0) {
		dup2(p[1], STDOUT_FILENO);
		execvp("tar", const_cast<char *const *>(argv.data()));
		error("tar: %s", strerror(errno));
		_exit(127);
	}
	close(p[1]);
	return p[0];
}

static bool child_succeeded(pid_t pid, const char *name)
{
	int status;

	while (waitpid(pid, &status, 0) < 0)
		if (errno != EINTR) {
			error("%s: %s", name, strerror(errno));
			return false;
		}
	if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
		return true;
	if (WIFEXITED(status))
		error("%s failed with exit status %d", name, WEXITSTATUS(status));
	else
		error("%s killed by signal %d", name, WTERMSIG(status));
	return false;
}

static int open_payload(const char *path)
{
	const int fd = open(path, O_RDONLY | O_CLOEXEC);
	struct stat st;

	if (fd < 0 || fstat(fd, &st) < 0) {
		error("%s: %s", path, strerror(errno));
	} else if (S_ISDIR(st.st_mode)) {
		error("%s: %s (use -C to pack a directory)", path, strerror(EISDIR));
	} else if (S_ISREG(st.st_mode) && (uint64_t)st.st_size > IMAGE_MAX_LENGTH) {
		// Refused before anything is copied.
		error("%s: too large: %llu bytes, at most %u", path,
		      (unsigned long long)st.st_size, IMAGE_MAX_LENGTH);
	} else {
		return fd;
	}
	if (fd >= 0)
		close(fd);
	return -1;
}

// Copies the payload after a 16-byte gap for the header. Sets *length and
// *gzip. False, having said why, on an error.
static bool copy_payload(int in, const char *in_name, int out, const char *out_name,
			 uint32_t *length, bool *gzip)
{
	static const uint8_t gap[IMAGE_HEADER_SIZE] = {};
	uint8_t buf[CHUNK];
	uint64_t total = 0;
	ssize_t got;

	if (!write_full(out, gap, sizeof(gap))) {
		error("%s: %s", out_name, strerror(errno));
		return false;
	}
	*gzip = false;
	while ((got = read_full(in, buf, sizeof(buf))) > 0) {
		if (total == 0)
			*gzip = starts_like_gzip(buf, (uint64_t)got);
		total += (uint64_t)got;
		if (total > IMAGE_MAX_LENGTH) {
			error("%s: too large: more than %u bytes", in_name, IMAGE_MAX_LENGTH);
			return false;
		}
		if (!write_full(out, buf, (size_t)got)) {
			error("%s: %s", out_name, strerror(errno));
			return false;
		}
	}
	if (got < 0) {
		error("%s: %s", in_name, strerror(errno));
		return false;
	}
	*length = (uint32_t)total;
	return true;
}

// The checksum covers the header after its crc word, then the payload; its
// register starts with all bits set.
static const uint32_t CRC_START = 4;
static const uint32_t CRC_INIT = 0xFFFFFFFF;

// Fills in the header of the container whose payload is in the file.
static bool write_header(int fd, const char *name, uint32_t length, uint32_t reserved)
{
	image_header h = { 0, length, IMAGE_MAGIC, reserved };
	uint8_t hdr[IMAGE_HEADER_SIZE];
	uint8_t buf[CHUNK];
	uint64_t pos = IMAGE_HEADER_SIZE;
	const uint64_t end = pos + length;

	encode_image_header(&h, hdr);
	h.crc = gen_crc(hdr + CRC_START, IMAGE_HEADER_SIZE - CRC_START, CRC_INIT);
	while (pos < end) {
		const size_t n = (size_t)std::min<uint64_t>(end - pos, sizeof(buf));
		const ssize_t got = pread(fd, buf, n, (off_t)pos);

		if (got < 0 && errno == EINTR)
			continue;
		if (got <= 0) {
			error("%s: %s", name, got < 0 ? strerror(errno) : "changed while written");
			return false;
		}
		h.crc = gen_crc(buf, (uint32_t)got, h.crc);
		pos += (uint64_t)got;
	}
	encode_image_header(&h, hdr);
	if (pwrite(fd, hdr, sizeof(hdr), 0) != (ssize_t)sizeof(hdr)) {
		error("%s: %s", name, strerror(errno));
		return false;
	}
	return true;
}

static int cmd_create(const char *out, uint32_t reserved, const char *payload, const char *dir)
{
	pid_t tar = -1;
	const int in = dir ? start_tar(dir, &tar) : open_payload(payload);
	const char *in_name = dir ? "tar" : payload;

	if (in < 0)
		return STATUS_ERROR;

	const int fd = open_temp(out);
	uint32_t length = 0;
	bool gzip = false;
	bool ok = fd >= 0 && copy_payload(in, in_name, fd, out, &length, &gzip);

	close(in); // a tar still writing gets SIGPIPE
	if (tar > 0)
		ok = child_succeeded(tar, "tar") && ok;
	if (!ok || !write_header(fd, out, length, reserved)) {
		discard_temp(fd);
		return STATUS_ERROR;
	}
	const int status = commit_temp(fd, out);

	if (status == STATUS_OK && !gzip)
		error("warning: %s does not start like a gzip file; the launcher unpacks "
		      "the payload with tar -z", payload);
	return status;
}

// ---- Command line.

// minisign run on the image: its trusted comment in minisign's own form
// (tab-separated name:value words, timestamp: and file: as minisign writes
// them), with the version and the board that vemra-boot checks.
static int run_minisign(const char *path, const char *key, const std::string &comment)
{
	const char *argv[] = { "minisign", "-S", "-s", key, "-m", path, "-t", comment.c_str(), nullptr };
	const pid_t pid = fork();

	if (pid < 0) {
		error("fork: %s", strerror(errno));
		return STATUS_ERROR;
	}
	if (pid == 0) {
		execvp("minisign", const_cast<char *const *>(argv));
		error("minisign: %s", strerror(errno));
		_exit(127);
	}
	return child_succeeded(pid, "minisign") ? STATUS_OK : STATUS_ERROR;
}

static int cmd_sign(const char *path, const char *key, const char *version, const char *board)
{
	const char *name = strrchr(path, '/') ? strrchr(path, '/') + 1 : path;
	payload_sink p = { -1, {}, 0 };
	image_check c;
	char comment[256];

	if (!version_valid(version))
		return usage_error("sign: --version takes numbers and dots (2.4.1), not '%s'", version);
	if (!board_valid(board))
		return usage_error("sign: --board takes 1 to 63 characters without blanks, not '%s'",
				   board);
	if (name[strcspn(name, "\t\n")] || strlen(name) > 128)
		return usage_error("sign: %s: a name with a tab or a line break, or too long", path);
	if (!check_file(path, &p, nullptr, &c))
		return STATUS_ERROR;
	if (c.state != IMAGE_VALID) {
		error("%s: %s", path, reason(c).c_str());
		return STATUS_REJECTED;
	}
	snprintf(comment, sizeof comment, "timestamp:%lld\tfile:%s\tversion:%s\tboard:%s",
		 (long long)time(nullptr), name, version, board);
	const int status = run_minisign(path, key, comment);
	if (status == STATUS_OK)
		printf("%s.minisig: version %s for %s\n", path, version, board);
	return status;
}

enum { OPT_OUT = 1, OPT_RESERVED = 2, OPT_DIR = 4, OPT_KEY = 8, OPT_SIGNATURE = 16, OPT_META = 32 };

struct options {
	const char *out = nullptr;
	const char *dir = nullptr;
	const char *key = nullptr;
	const char *signature = nullptr;
	const char *version = nullptr;
	const char *board = nullptr;
	uint32_t reserved = 0;
	std::vector<const char *> files;
};

// Decimal, or hexadecimal after 0x; the whole of a 32-bit word.
static bool parse_u32(const char *s, uint32_t *v)
{
	const bool hex = s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
	const char *digits = hex ? s + 2 : s;
	char *end;

	if (!isxdigit((unsigned char)digits[0]))
		return false;
	errno = 0;
	const unsigned long long n = strtoull(digits, &end, hex ? 16 : 10);

	if (errno || *end || n > UINT32_MAX)
		return false;
	*v = (uint32_t)n;
	return true;
}

// Parses argv[0 .. argc) of a command taking the options in `allowed`.
// False, having said why, on a usage error.
static bool parse_options(const char *cmd, int argc, char **argv, int allowed, options *o)
{
	bool only_files = false;

	for (int i = 0; i < argc; i++) {
		const char *a = argv[i];
		const bool has_value = i + 1 < argc;

		if (only_files || a[0] != '-' || a[1] == '\0') {
			o->files.push_back(a);
		} else if (strcmp(a, "--") == 0) {
			only_files = true;
		} else if (strcmp(a, "-o") == 0 && (allowed & OPT_OUT) && has_value) {
			o->out = argv[++i];
		} else if (strcmp(a, "-C") == 0 && (allowed & OPT_DIR) && has_value) {
			o->dir = argv[++i];
		} else if (strcmp(a, "--key") == 0 && (allowed & OPT_KEY) && has_value) {
			o->key = argv[++i];
		} else if (strcmp(a, "--signature") == 0 && (allowed & OPT_SIGNATURE) && has_value) {
			o->signature = argv[++i];
		} else if (strcmp(a, "--version") == 0 && (allowed & OPT_META) && has_value) {
			o->version = argv[++i];
		} else if (strcmp(a, "--board") == 0 && (allowed & OPT_META) && has_value) {
			o->board = argv[++i];
		} else if (strcmp(a, "--reserved") == 0 && (allowed & OPT_RESERVED) && has_value) {
			if (!parse_u32(argv[++i], &o->reserved)) {
				usage_error("--reserved: not a 32-bit number: '%s'", argv[i]);
				return false;
			}
		} else if (!has_value && (strcmp(a, "-o") == 0 || strcmp(a, "-C") == 0 ||
					  strcmp(a, "--reserved") == 0 || strcmp(a, "--key") == 0 ||
					  strcmp(a, "--signature") == 0 || strcmp(a, "--version") == 0 ||
					  strcmp(a, "--board") == 0)) {
			usage_error("%s: option %s needs a value", cmd, a);
			return false;
		} else {
			usage_error("%s: unknown option '%s'", cmd, a);
			return false;
		}
	}
	return true;
}

static bool is_help(const char *a)
{
	return strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0 || strcmp(a, "help") == 0;
}

int main(int argc, char **argv)
{
	if (argc < 2)
		return usage_error("no command given");
	const char *cmd = argv[1];

	for (int i = 1; i < argc; i++)
		if (is_help(argv[i]) && (i == 1 || argv[i][0] == '-')) {
			fputs(USAGE, stdout);
			return fflush(stdout) == 0 ? STATUS_OK : STATUS_ERROR;
		}

	int allowed;

	if (strcmp(cmd, "create") == 0)
		allowed = OPT_OUT | OPT_RESERVED | OPT_DIR;
	else if (strcmp(cmd, "extract") == 0)
		allowed = OPT_OUT;
	else if (strcmp(cmd, "verify") == 0)
		allowed = OPT_KEY | OPT_SIGNATURE;
	else if (strcmp(cmd, "sign") == 0)
		allowed = OPT_KEY | OPT_META;
	else if (strcmp(cmd, "list") == 0)
		allowed = 0;
	else if (cmd[0] == '-')
		return usage_error("unknown option '%s'", cmd);
	else
		return usage_error("unknown command '%s'", cmd);

	options o;

	if (!parse_options(cmd, argc - 2, argv + 2, allowed, &o))
		return STATUS_ERROR;
	const size_t files_wanted = o.dir ? 0 : 1;

	if (o.signature && !o.key)
		return usage_error("%s: --signature goes with --key", cmd);
	if ((allowed & OPT_META) && (!o.key || !o.version || !o.board))
		return usage_error("%s: --key, --version and --board are needed", cmd);
	if ((allowed & OPT_OUT) && !o.out)
		return usage_error("%s: no output file given (-o)", cmd);
	if (o.files.size() != files_wanted)
		return usage_error("%s: expected %s", cmd,
				   o.dir ? "no input file with -C" :
				   strcmp(cmd, "create") == 0 ? "one PAYLOAD file" :
				   "one IMAGE file");

	if (strcmp(cmd, "create") == 0)
		return cmd_create(o.out, o.reserved, o.dir ? nullptr : o.files[0], o.dir);
	if (strcmp(cmd, "extract") == 0)
		return cmd_extract(o.files[0], o.out);
	if (strcmp(cmd, "list") == 0)
		return cmd_list(o.files[0]);
	if (strcmp(cmd, "sign") == 0)
		return cmd_sign(o.files[0], o.key, o.version, o.board);
	return cmd_verify(o.files[0], o.key, o.signature);
}

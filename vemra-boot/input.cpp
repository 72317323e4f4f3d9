// SPDX-License-Identifier: MIT
#include "input.h"

#include "board_config.h"
#include "console.h"
#include "keys.h"
#include "minisign.h"
#include "slots.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

/* Reading an image: hashed as it comes, or held whole for the legacy form */

// A pipe that sends nothing for this long has stalled.
static const int STALL_SECONDS = 30;

// The pipe on standard input: the bytes read so far, and its header, read
// first and served again from memory when a check starts over from the
// image's first byte.
static uint64_t pipe_at;
static uint8_t pipe_head[IMAGE_HEADER_SIZE];

struct reading {
	minisign_hash hash;
	input *in;
	const image_sink *next; // where the bytes go, if anywhere
	uint8_t *whole;         // the legacy form's bytes
	uint32_t have;
	bool sign; // the bytes against the signature
	bool progress;
};

static reading reading_of(input *in, const image_sink *next, bool sign, bool progress)
{
	reading r = {};

	r.in = in;
	r.next = next;
	r.sign = sign;
	r.progress = progress;
	return r;
}

static void show_progress(input *in, uint32_t have)
{
	const uint32_t total = image_size(&in->check.header);
	const uint32_t percent = (uint32_t)((uint64_t)have * 100 / total);

	if (percent + 1 == in->shown)
		return;
	in->shown = percent + 1;
	printf("\r%s: %u of %u bytes (%u%%)%s", in->name, (unsigned)have, (unsigned)total,
	       (unsigned)percent, in->progress_lines ? "\n" : "");
	fflush(stdout);
}

static bool put_read(const image_sink *sink, uint32_t offset, const uint8_t *bytes, uint32_t count)
{
	reading *r = (reading *)sink->ctx;

	if (r->sign && r->in->sig->prehashed) {
		minisign_hash_add(&r->hash, bytes, count);
	} else if (r->sign) {
		if (count > LEGACY_MAX - r->have) {
			errno = EFBIG;
			return false;
		}
		memcpy(r->whole + r->have, bytes, count);
		r->have += count;
	}
	if (r->next && !r->next->put(r->next, offset, bytes, count))
		return false;
	if (r->progress)
		show_progress(r->in, offset + count);
	return true;
}

static minisign_verdict signature_verdict(reading *r)
{
	const input *in = r->in;

	if (in->sig->prehashed)
		return minisign_check_hash(in->sig, &in->key, &r->hash);
	return minisign_check_bytes(in->sig, &in->key, r->whole, r->have);
}

// The image read whole through src, header first, each piece handed on
// to r->next and, with r->sign, to the signature's check. *c: how it
// ended (c->error: it could not be read; c->stopped: r->next refused a
// piece). The signature's verdict: MINISIGN_VALID when not asked for.
static minisign_verdict read_image(reading *r, const image_source *src, image_check *c)
{
	const image_sink sink = { put_read, r };
	minisign_verdict v = MINISIGN_VALID;

	*c = image_check{};
	if (r->sign && r->in->sig->prehashed)
		minisign_hash_start(&r->hash);
	else if (r->sign && !(r->whole = (uint8_t *)malloc(LEGACY_MAX)))
		c->error = ENOMEM;
	if (!c->error)
		image_check_all(src, c, piece, sizeof piece, &sink);
	if (r->sign && !c->error && !c->stopped && c->state > IMAGE_BAD_LENGTH)
		v = signature_verdict(r);
	else if (r->sign)
		v = MINISIGN_BAD_SIGNATURE; // not all of it could be read
	free(r->whole);
	r->whole = NULL;
	return v;
}

// STATUS_OK for a valid signature, or the refusal said.
static int signature_status(const input *in, minisign_verdict v)
{
	if (v == MINISIGN_VALID)
		return STATUS_OK;
	error("%s: %s", in->name, minisign_reason(v));
	return STATUS_REFUSED;
}

// Up to count bytes as they come, counted in pipe_at: fewer only at the
// end; -1 with errno, ETIMEDOUT when nothing came for STALL_SECONDS.
static int64_t read_pipe(int fd, uint8_t *buf, uint32_t count)
{
	uint32_t done = 0;

	while (done < count) {
		pollfd p = { fd, POLLIN, 0 };
		const int ready = poll(&p, 1, STALL_SECONDS * 1000);
		ssize_t n;

		if (ready < 0 && errno == EINTR)
			continue;
		if (ready == 0)
			errno = ETIMEDOUT;
		if (ready <= 0)
			return -1;
		n = read(fd, buf + done, count - done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return -1;
		if (n == 0)
			break;
		done += (uint32_t)n;
		pipe_at += (uint64_t)n;
	}
	return (int64_t)done;
}

static int64_t pipe_read(const image_source *src, uint32_t offset, uint8_t *buf, uint32_t count)
{
	const uint64_t start = pipe_at;
	uint32_t again = 0; // of the header, read before
	int64_t got;

	if (offset < start && start <= IMAGE_HEADER_SIZE) {
		again = (uint32_t)start - offset < count ? (uint32_t)start - offset : count;
		memcpy(buf, pipe_head + offset, again);
	} else if (offset != start) {
		errno = ESPIPE; // never: an image is read in order
		return -1;
	}
	got = read_pipe(src->fd, buf + again, count - again);
	for (uint64_t at = start; got > 0 && at < pipe_at && at < IMAGE_HEADER_SIZE; at++)
		pipe_head[at] = buf[again + (at - start)];
	return got < 0 ? -1 : again + got;
}

static image_source input_source(const input *in)
{
	image_source src = fd_source(in->fd);

	if (in->pipe)
		src.read = pipe_read;
	return src;
}

// A pipe ends where its image ends: one more byte is refused.
static int pipe_ends(input *in)
{
	uint8_t extra;
	const int64_t got = read_pipe(in->fd, &extra, 1);

	if (got == 0)
		return STATUS_OK;
	if (got < 0 && errno == ETIMEDOUT)
		error("%s: no end %d s after the image's %u bytes", in->name, STALL_SECONDS,
		      (unsigned)image_size(&in->check.header));
	else if (got < 0)
		error("%s: %s", in->name, strerror(errno));
	else
		error("%s: more bytes than the image's %u", in->name,
		      (unsigned)image_size(&in->check.header));
	return got < 0 ? STATUS_ERROR : STATUS_REFUSED;
}

// Why a received image stopped short, said: an error, or a refusal for a
// pipe that ended early.
static int received_short(const input *in, const image_check *c)
{
	const uint32_t size = image_size(&c->header);
	// A read that fails loses what it got: a pipe counts what came.
	const uint64_t have = in->pipe ? pipe_at : c->have;

	if (c->stopped)
		return STATUS_ERROR; // the writer said why
	if (c->error == ETIMEDOUT)
		error("%s: nothing arrived for %d s, after %llu of %u bytes", in->name, STALL_SECONDS,
		      (unsigned long long)have, (unsigned)size);
	else if (c->error)
		error("%s: %s", in->name, strerror(c->error));
	else
		error("%s: ended after %llu of %u bytes", in->name, (unsigned long long)have,
		      (unsigned)size);
	return c->error ? STATUS_ERROR : STATUS_REFUSED;
}

// The image read is valid and the one whose header was opened.
static bool same_image(const image_check *c, const input *in)
{
	return c->state == IMAGE_VALID && c->header.crc == in->check.header.crc &&
	       c->header.length == in->check.header.length;
}

int receive_input(input *in, const image_sink *writer)
{
	// The signature is checked once, over what is read back.
	reading r = reading_of(in, writer, false, in->progress);
	const image_source src = input_source(in);
	image_check c;

	read_image(&r, &src, &c);
	if (c.state == IMAGE_TRUNCATED || c.error)
		return received_short(in, &c);
	if (!same_image(&c, in)) {
		error("%s: checksum failed", in->name);
		return STATUS_REFUSED;
	}
	if (in->progress)
		printf("%s%s: checking what was written\n", in->progress_lines ? "" : "\n", in->name);
	return in->pipe ? pipe_ends(in) : STATUS_OK;
}

int check_written(input *in, const image_source *copy, const char *where)
{
	reading r = reading_of(in, NULL, in->signed_image, false);
	image_check c;
	const minisign_verdict v = read_image(&r, copy, &c);

	if (c.error) {
		error("%s: %s", where, strerror(c.error));
		return STATUS_ERROR;
	}
	if (!same_image(&c, in)) {
		error("%s: %s when read back", where, verdict(c.state));
		return STATUS_ERROR;
	}
	return signature_status(in, v);
}

/* Opening */

// The room where the image goes against the FILE's size (before it is
// read) or the image's (once a pipe's header has come).
static int fits(const input *in, uint64_t size, const destination *to)
{
	if (size <= to->room)
		return STATUS_OK;
	error("%s: %llu bytes do not fit %s (%llu bytes)", in->name, (unsigned long long)size,
	      to->name, (unsigned long long)to->room);
	return STATUS_REFUSED;
}

static int open_file(const char *file, input *in)
{
	struct stat st;

	in->name = file;
	in->fd = strcmp(file, "-") == 0 ? STDIN_FILENO : open(file, O_RDONLY | O_CLOEXEC);
	if (in->fd < 0 || fstat(in->fd, &st) != 0) {
		error("%s: %s", file, strerror(errno));
		return STATUS_ERROR;
	}
	if (in->fd == STDIN_FILENO && isatty(in->fd)) {
		error("-: standard input is a terminal: pipe the image in");
		return STATUS_ERROR;
	}
	in->pipe = !S_ISREG(st.st_mode);
	in->file_size = in->pipe ? 0 : (uint64_t)st.st_size;
	in->progress = isatty(STDOUT_FILENO);
	return STATUS_OK;
}

// The header read: an image the launcher would look at, all of FILE.
static int check_header(input *in, const destination *to)
{
	const image_source src = input_source(in);
	int status;

	if (image_check_header(&src, &in->check) != IMAGE_VALID) {
		if (in->check.error)
			error("%s: %s", in->name, strerror(in->check.error));
		else
			error("%s: %s", in->name,
			      image_header_invalid(in->check.state) ? "invalid header" : "checksum failed");
		return in->check.error ? STATUS_ERROR : STATUS_REFUSED;
	}
	status = in->pipe ? fits(in, image_size(&in->check.header), to) : STATUS_OK;
	if (status == STATUS_OK && !in->pipe && in->file_size > image_size(&in->check.header)) {
		error("%s: more bytes than the image's %u", in->name,
		      (unsigned)image_size(&in->check.header));
		status = STATUS_REFUSED;
	}
	return status;
}

int check_file_first(input *in)
{
	reading r = reading_of(in, NULL, in->signed_image, false);
	const image_source src = input_source(in);
	image_check c;
	minisign_verdict v;

	if (in->pipe)
		return STATUS_OK;
	v = read_image(&r, &src, &c);
	if (c.error) {
		error("%s: %s", in->name, strerror(c.error));
		return STATUS_ERROR;
	}
	if (v != MINISIGN_VALID || c.state == IMAGE_VALID)
		return signature_status(in, v);
	error("%s: %s", in->name, image_header_invalid(c.state) ? "invalid header" : "checksum failed");
	return STATUS_REFUSED;
}

int open_input(const char *file, const char *signature, const destination *to, input *in)
{
	int status;

	*in = input{};
	in->fd = -1;
	status = open_file(file, in);
	if (status == STATUS_OK && !in->pipe)
		status = fits(in, in->file_size, to);
	if (status == STATUS_OK)
		status = check_signature(signature, to, in);
	if (status == STATUS_OK)
		status = check_header(in, to);
	return status;
}

void close_input(input *in)
{
	if (in->fd > STDIN_FILENO)
		close(in->fd);
	in->fd = -1;
	free(in->signature);
	free(in->sig);
	in->signature = NULL;
	in->sig = NULL;
}

void kept_signature_path(int n, char *path)
{
	snprintf(path, BOARD_SLOT_PATH_MAX, "%s.minisig", slot_path(n));
}

kept_signature check_kept(const char *text, uint32_t size, const image_source *src, image_meta *m)
{
	minisign_key keys[KEYS_MAX];
	const int count = read_trusted_keys(keys, KEYS_MAX);
	const minisign_key *signer = NULL;
	input in = {};
	image_check c;
	kept_signature k = KEPT_DIFFERS;

	*m = image_meta{};
	if (count <= 0)
		return KEPT_UNREADABLE;
	in.signature = (char *)text;
	in.signature_size = size;
	in.sig = (minisign_sig *)malloc(sizeof *in.sig);
	if (!in.sig)
		return KEPT_UNREADABLE;
	// Words that are not valid make a signature that counts for nothing.
	if (minisign_parse_sig(text, size, in.sig) &&
	    minisign_check_comment(in.sig, keys, (size_t)count, &signer) == MINISIGN_VALID &&
	    !meta_from_comment(in.sig->comment, &in.meta)) {
		reading r = reading_of(&in, NULL, true, false);

		in.key = *signer;
		if (read_image(&r, src, &c) == MINISIGN_VALID)
			k = KEPT_MATCHES;
		else if (c.error)
			k = KEPT_UNREADABLE;
	}
	if (k == KEPT_MATCHES)
		*m = in.meta;
	free(in.sig);
	return k;
}

kept_signature check_kept_signature(int n, image_meta *m)
{
	char path[BOARD_SLOT_PATH_MAX];
	uint8_t *text;
	uint32_t size;
	kept_signature k = KEPT_UNREADABLE;
	const int fd = open(slot_path(n), O_RDONLY | O_CLOEXEC);

	*m = image_meta{};
	kept_signature_path(n, path);
	if (!read_whole(path, &text, &size, MINISIGN_FILE_MAX))
		k = errno == ENOENT ? KEPT_NONE : errno == EFBIG ? KEPT_DIFFERS : KEPT_UNREADABLE;
	else if (fd >= 0) {
		const image_source src = fd_source(fd);

		k = check_kept((const char *)text, size, &src, m);
	}
	free(text);
	if (fd >= 0)
		close(fd);
	return k;
}

#include "input.h"

#include "console.h"
#include "identity.h"
#include "minisign.h"
#include "slots.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static const char KEYS_DIR[] = "/etc/vemra-boot/keys";
// The board trusts a few keys, not a key ring.
static const int KEYS_MAX = 16;

// The whole file; false, with errno, when it cannot be read or held.
static bool read_whole(const char *path, uint8_t **bytes, uint32_t *size, size_t max)
{
	const int fd = open(path, O_RDONLY | O_CLOEXEC);
	struct stat st;
	const image_source src = fd_source(fd);
	int err = EFBIG;

	*bytes = NULL;
	*size = 0;
	if (fd < 0)
		return false;
	if (fstat(fd, &st) != 0)
		err = errno;
	else if ((uint64_t)st.st_size <= max) {
		*size = (uint32_t)st.st_size;
		*bytes = (uint8_t *)malloc(*size ? *size : 1);
		err = *bytes ? 0 : ENOMEM;
		errno = 0;
		if (*bytes && src.read(&src, 0, *bytes, *size) != (int64_t)*size)
			err = errno ? errno : EIO; // EIO: the file changed while read
	}
	close(fd);
	if (err) {
		free(*bytes);
		*bytes = NULL;
	}
	errno = err;
	return err == 0;
}

static bool is_key_file(const char *name)
{
	const size_t n = strlen(name);

	return n > 4 && strcmp(name + n - 4, ".pub") == 0;
}

// One key file into keys[count]; false, said, when it is not a key or
// there is no room for it.
static bool read_key(const char *name, minisign_key *keys, int count, int keys_max)
{
	char path[sizeof KEYS_DIR + NAME_MAX + 1];
	uint8_t *text = NULL;
	uint32_t size = 0;
	bool ok;

	snprintf(path, sizeof path, "%s/%s", KEYS_DIR, name);
	ok = count < keys_max && read_whole(path, &text, &size, MINISIGN_FILE_MAX) &&
	     minisign_parse_key((const char *)text, size, &keys[count]);
	free(text);
	if (!ok)
		error("%s: not a minisign public key, or more than %d keys", path, keys_max);
	return ok;
}

// The trusted keys (at most keys_max). Only a folder that is not there
// holds none: one that cannot be listed, or a key that cannot be read,
// is -1, said, so that signatures are never skipped by mistake.
static int read_keys(minisign_key *keys, int keys_max)
{
	DIR *dir = opendir(KEYS_DIR);
	const dirent *e;
	int count = 0;

	if (!dir && errno == ENOENT)
		return 0;
	if (!dir) {
		error("%s: %s", KEYS_DIR, strerror(errno));
		return -1;
	}
	errno = 0;
	while (count >= 0 && (e = readdir(dir))) {
		if (is_key_file(e->d_name))
			count = read_key(e->d_name, keys, count, keys_max) ? count + 1 : -1;
		errno = 0;
	}
	if (count >= 0 && errno) {
		error("%s: %s", KEYS_DIR, strerror(errno));
		count = -1;
	}
	closedir(dir);
	return count;
}

int trusted_key_count(void)
{
	minisign_key keys[KEYS_MAX];

	return read_keys(keys, KEYS_MAX);
}

// The signature's text over in's bytes: STATUS_OK with the text and what
// it says kept in in, or the refusal or the error said.
static int check_signature(const char *file, const char *sig_path, const minisign_key *keys,
			   int count, input *in)
{
	minisign_verdict v = MINISIGN_MALFORMED;
	minisign_sig sig;
	uint8_t *text;
	uint32_t size;
	char id[17];

	if (read_whole(sig_path, &text, &size, MINISIGN_FILE_MAX))
		v = minisign_check((const char *)text, size, keys, (size_t)count, in->bytes, in->size,
				   &sig);
	else if (errno != EFBIG) {
		error("%s: no signature: %s", sig_path, strerror(errno));
		return STATUS_REFUSED;
	}
	if (v == MINISIGN_VALID) {
		in->signature = (char *)text;
		in->signature_size = size;
		meta_from_comment(sig.comment, &in->meta);
		return STATUS_OK;
	}
	free(text);
	minisign_id_text(sig.id, id);
	if (v == MINISIGN_UNTRUSTED)
		error("%s: signed by key %s, which this board does not trust", file, id);
	else
		error("%s: %s", v == MINISIGN_MALFORMED || v == MINISIGN_BAD_COMMENT ? sig_path : file,
		      minisign_reason(v));
	return v == MINISIGN_NO_CRYPTO ? STATUS_ERROR : STATUS_REFUSED;
}

static int check_image(const char *file, input *in)
{
	const image_source src = memory_source(in->bytes, in->size);

	if (image_check_all(&src, &in->check, piece, sizeof piece, NULL) == IMAGE_VALID)
		return STATUS_OK;
	error("%s: %s", file, image_header_invalid(in->check.state) ? "invalid header" : "checksum failed");
	return STATUS_REFUSED;
}

// FILE's size against where it goes, before anything of it is read.
static int fits(const char *file, const destination *to)
{
	struct stat st;

	if (stat(file, &st) != 0) {
		error("%s: %s", file, strerror(errno));
		return STATUS_ERROR;
	}
	if ((uint64_t)st.st_size <= to->room)
		return STATUS_OK;
	error("%s: %llu bytes do not fit %s (%llu bytes)", file, (unsigned long long)st.st_size,
	      to->name, (unsigned long long)to->room);
	return STATUS_REFUSED;
}

// FILE.minisig, or false, said, when the name would be too long.
static bool default_signature(const char *file, char *path, size_t size)
{
	if ((size_t)snprintf(path, size, "%s.minisig", file) < size)
		return true;
	error("%s: too long a name for its signature's", file);
	return false;
}

int load_input(const char *file, const char *signature, const destination *to, input *in)
{
	minisign_key keys[KEYS_MAX];
	const int count = read_keys(keys, KEYS_MAX);
	char sig_path[PATH_MAX];
	int status;

	*in = input{};
	if (count < 0)
		return STATUS_ERROR;
	status = fits(file, to);
	if (status != STATUS_OK)
		return status;
	if (!read_whole(file, &in->bytes, &in->size, UINT32_MAX)) {
		error("%s: %s", file, strerror(errno));
		return STATUS_ERROR;
	}
	if (count > 0) {
		if (!signature && !default_signature(file, sig_path, sizeof sig_path))
			return STATUS_ERROR;
		status = check_signature(file, signature ? signature : sig_path, keys, count, in);
		if (status == STATUS_OK)
			status = check_identity(file, &in->meta, to->allow_downgrade);
	}
	return status == STATUS_OK ? check_image(file, in) : status;
}

void free_input(input *in)
{
	free(in->bytes);
	free(in->signature);
	in->bytes = NULL;
	in->signature = NULL;
}

void kept_signature_path(int n, char *path)
{
	snprintf(path, 32, "%s.minisig", slot_path(n));
}

kept_signature check_kept_signature(int n, image_meta *m)
{
	minisign_key keys[KEYS_MAX];
	const int count = read_keys(keys, KEYS_MAX);
	uint8_t *slot, *text;
	uint32_t slot_size, size;
	char path[32];
	minisign_sig sig;
	kept_signature k = KEPT_DIFFERS;

	*m = image_meta{};
	kept_signature_path(n, path);
	if (count <= 0)
		return KEPT_UNREADABLE;
	if (!read_whole(path, &text, &size, MINISIGN_FILE_MAX))
		return errno == ENOENT ? KEPT_NONE : errno == EFBIG ? KEPT_DIFFERS : KEPT_UNREADABLE;
	if (!read_whole(slot_path(n), &slot, &slot_size, UINT32_MAX)) {
		free(text);
		return KEPT_UNREADABLE;
	}
	if (minisign_check((const char *)text, size, keys, (size_t)count, slot, slot_size, &sig) ==
	    MINISIGN_VALID) {
		meta_from_comment(sig.comment, m);
		k = KEPT_MATCHES;
	}
	free(slot);
	free(text);
	return k;
}

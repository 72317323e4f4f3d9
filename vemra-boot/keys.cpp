// SPDX-License-Identifier: MIT
#include "keys.h"

#include "console.h"
#include "identity.h"

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

bool read_whole(const char *path, uint8_t **bytes, uint32_t *size, size_t max)
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
	else if (S_ISDIR(st.st_mode))
		err = EISDIR; // jffs2 gives a folder no size: it would read as empty
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

int read_trusted_keys(minisign_key *keys, int keys_max)
{
	DIR *dir = opendir(KEYS_DIR);
	const dirent *e;
	int count = 0;

	struct stat st;

	// No folder, no keys; a link to nothing is a folder lost, not none.
	if (!dir && errno == ENOENT && lstat(KEYS_DIR, &st) != 0)
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
	// A folder of keys renamed away still says that signatures count.
	if (count == 0) {
		error("%s: holds no key (*.pub): no signature can be checked", KEYS_DIR);
		count = -1;
	}
	return count;
}
int trusted_key_count(void)
{
	minisign_key keys[KEYS_MAX];

	return read_trusted_keys(keys, KEYS_MAX);
}

/* The signature, checked before the image arrives as far as it can be */

// The version and board the signature gives the image, each a valid one
// when it is there: STATUS_OK, or the refusal said.
static int valid_words(input *in)
{
	const char *bad = meta_from_comment(in->sig->comment, &in->meta);

	if (!bad)
		return STATUS_OK;
	if (strcmp(bad, "version") == 0)
		error("%s: signed version '%s' is not a version (1 to 8 numbers of 1 to 9 digits, "
		      "separated by dots)", in->name, in->meta.version);
	else
		error("%s: signed board '%s' is not a board's string (1 to 63 characters without "
		      "blanks)", in->name, in->meta.board);
	return STATUS_REFUSED;
}

// The signature file's text parsed, its key and trusted comment checked:
// what it says of the image kept in in, or the refusal or the error said.
static int check_signature_file(const char *sig_path, const minisign_key *keys, int count,
				input *in)
{
	const minisign_key *signer;
	minisign_verdict v = MINISIGN_MALFORMED;
	uint8_t *text;
	uint32_t size;
	char id[17];

	in->sig = (minisign_sig *)malloc(sizeof *in->sig);
	if (!in->sig) {
		error("%s: %s", sig_path, strerror(ENOMEM));
		return STATUS_ERROR;
	}
	if (!read_whole(sig_path, &text, &size, MINISIGN_FILE_MAX) && errno != EFBIG) {
		error("%s: no signature: %s", sig_path, strerror(errno));
		return STATUS_REFUSED;
	}
	in->signature = (char *)text;
	in->signature_size = size;
	if (text && minisign_parse_sig((const char *)text, size, in->sig))
		v = minisign_check_comment(in->sig, keys, (size_t)count, &signer);
	if (v == MINISIGN_VALID) {
		in->key = *signer;
		return valid_words(in);
	}
	if (v == MINISIGN_UNTRUSTED) {
		minisign_id_text(in->sig->id, id);
		error("%s: signed by key %s, which this board does not trust", in->name, id);
	} else
		error("%s: %s", sig_path, minisign_reason(v));
	return v == MINISIGN_NO_CRYPTO ? STATUS_ERROR : STATUS_REFUSED;
}

// FILE.minisig, or false, said, when there is no such name.
static bool default_signature(const input *in, char *path, size_t size)
{
	if (in->pipe) {
		error("%s: no signature (--signature SIG names it for an image on standard input)",
		      in->name);
		return false;
	}
	if ((size_t)snprintf(path, size, "%s.minisig", in->name) < size)
		return true;
	error("%s: too long a name for its signature's", in->name);
	return false;
}

// The legacy form on a pipe, or for an image too large to hold.
static int legacy_allowed(const input *in, uint64_t size)
{
	if (in->sig->prehashed || (!in->pipe && size <= LEGACY_MAX))
		return STATUS_OK;
	if (in->pipe)
		error("%s: a legacy signature needs the whole image in memory: sign it prehashed "
		      "(vemra-image sign, or minisign -S without -l)", in->name);
	else
		error("%s: a legacy signature is taken for images up to %u bytes: sign it prehashed "
		      "(vemra-image sign, or minisign -S without -l)", in->name, (unsigned)LEGACY_MAX);
	return STATUS_REFUSED;
}

int check_signature(const char *signature, const destination *to, input *in)
{
	minisign_key keys[KEYS_MAX];
	const int count = read_trusted_keys(keys, KEYS_MAX);
	char sig_path[PATH_MAX];
	int status;

	if (count == 0 && signature) {
		error("%s: not checked: this board trusts no key (%s)", signature, KEYS_DIR);
		return STATUS_REFUSED;
	}
	if (count <= 0)
		return count < 0 ? STATUS_ERROR : STATUS_OK;
	in->signed_image = true;
	if (!signature && !default_signature(in, sig_path, sizeof sig_path))
		return in->pipe ? STATUS_REFUSED : STATUS_ERROR;
	status = check_signature_file(signature ? signature : sig_path, keys, count, in);
	if (status == STATUS_OK)
		status = legacy_allowed(in, in->file_size);
	if (status == STATUS_OK)
		status = check_identity(in->name, &in->meta, to->allow_downgrade);
	return status;
}

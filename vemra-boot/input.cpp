#include "input.h"

#include "console.h"
#include "minisign.h"
#include "slots.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static const char KEYS_DIR[] = "/etc/vemra-boot/keys";
// A key or signature file is a few lines; anything longer is not one.
static const size_t SMALL_FILE_MAX = 4096;
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

// The trusted keys (at most keys_max); -1, said, when one of them cannot
// be read. A missing folder holds none.
static int read_keys(minisign_key *keys, int keys_max)
{
	DIR *dir = opendir(KEYS_DIR);
	const dirent *e;
	int count = 0;

	while (count >= 0 && dir && (e = readdir(dir))) {
		char path[512];
		uint8_t *text = NULL;
		uint32_t size = 0;

		if (!is_key_file(e->d_name))
			continue;
		snprintf(path, sizeof path, "%s/%s", KEYS_DIR, e->d_name);
		if (count < keys_max && read_whole(path, &text, &size, SMALL_FILE_MAX) &&
		    minisign_parse_key((const char *)text, size, &keys[count])) {
			count++;
		} else {
			error("%s: not a minisign public key, or more than %d keys", path, keys_max);
			count = -1;
		}
		free(text);
	}
	if (dir)
		closedir(dir);
	return count;
}

int trusted_key_count(void)
{
	minisign_key keys[KEYS_MAX];

	return read_keys(keys, KEYS_MAX);
}

static int check_signature(const char *file, const char *sig_path, const minisign_key *keys,
			   int count, const input *in)
{
	minisign_verdict v;
	minisign_sig sig;
	uint8_t *text;
	uint32_t size;
	char id[17];

	if (!read_whole(sig_path, &text, &size, SMALL_FILE_MAX)) {
		error("%s: no signature: %s", sig_path, strerror(errno));
		return STATUS_REFUSED;
	}
	v = minisign_check((const char *)text, size, keys, (size_t)count, in->bytes, in->size, &sig);
	free(text);
	if (v == MINISIGN_VALID)
		return STATUS_OK;
	minisign_id_text(sig.id, id);
	if (v == MINISIGN_UNTRUSTED)
		error("%s: signed by key %s, which this board does not trust", file, id);
	else
		error("%s: %s", v == MINISIGN_MALFORMED || v == MINISIGN_BAD_COMMENT ? sig_path : file,
		      minisign_reason(v));
	return STATUS_REFUSED;
}

static int check_image(const char *file, input *in)
{
	const image_source src = memory_source(in->bytes, in->size);

	if (image_check_all(&src, &in->check, piece, sizeof piece, NULL) == IMAGE_VALID)
		return STATUS_OK;
	error("%s: %s", file, image_header_invalid(in->check.state) ? "invalid header" : "checksum failed");
	return STATUS_REFUSED;
}

int load_input(const char *file, const char *signature, input *in)
{
	minisign_key keys[KEYS_MAX];
	const int count = read_keys(keys, KEYS_MAX);
	char sig_path[512];
	int status = STATUS_OK;

	*in = input{};
	if (count < 0)
		return STATUS_ERROR;
	if (!read_whole(file, &in->bytes, &in->size, UINT32_MAX)) {
		error("%s: %s", file, strerror(errno));
		return STATUS_ERROR;
	}
	if (count > 0) {
		snprintf(sig_path, sizeof sig_path, "%s.minisig", file);
		status = check_signature(file, signature ? signature : sig_path, keys, count, in);
	}
	return status == STATUS_OK ? check_image(file, in) : status;
}

void free_input(input *in)
{
	free(in->bytes);
	in->bytes = NULL;
}

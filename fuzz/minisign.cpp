// minisign's signature and public key files as the board reads them
// (libvemra/minisign.cpp), on any text. Beyond what the sanitizers catch:
// a signature that parses has a trusted comment within its bound and
// without a line break, and any text checked against a key made of its own
// bytes is never taken for a valid signature of an empty file.
#include "minisign.h"

#include <cstdlib>
#include <cstring>

#define CHECK(ok) ((ok) ? (void)0 : abort())

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const char *text = reinterpret_cast<const char *>(data);
	minisign_key key = {};
	minisign_sig sig;

	if (minisign_parse_sig(text, size, &sig)) {
		const size_t len = strnlen(sig.comment, sizeof sig.comment);

		CHECK(len <= MINISIGN_COMMENT_MAX && !memchr(sig.comment, '\n', len));
	}
	minisign_parse_key(text, size, &key);
	memcpy(key.pk, data, size < sizeof key.pk ? size : sizeof key.pk);
	CHECK(minisign_check(text, size, &key, 1, data, 0, &sig) != MINISIGN_VALID);
	return 0;
}

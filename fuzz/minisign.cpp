// minisign's signature and public key files as the board reads them
// (libvemra/minisign.cpp), on any text. Beyond what the sanitizers catch:
// a signature that parses has a trusted comment within its bound and
// without a line break; any text checked against a key made of its own
// bytes is never taken for a valid signature of an empty file; the
// comment's version: and board: words (libvemra/meta.cpp) are found within
// their bounds, a version is the same as itself and compares with another
// one way round as the other way round inverted.
#include "meta.h"
#include "minisign.h"

#include <cstdlib>
#include <cstring>

#define CHECK(ok) ((ok) ? (void)0 : abort())

static int sign(int x)
{
	return (x > 0) - (x < 0);
}

static void check_words(const char *comment)
{
	image_meta m;

	meta_from_comment(comment, &m);
	CHECK(strlen(m.version) < sizeof m.version && strlen(m.board) < sizeof m.board);
	if (!version_valid(m.version))
		return;
	CHECK(version_compare(m.version, m.version) == 0);
	if (version_valid(m.board))
		CHECK(sign(version_compare(m.version, m.board)) == -sign(version_compare(m.board, m.version)));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const char *text = reinterpret_cast<const char *>(data);
	minisign_key key = {};
	minisign_sig sig;

	if (minisign_parse_sig(text, size, &sig)) {
		const size_t len = strnlen(sig.comment, sizeof sig.comment);

		CHECK(len <= MINISIGN_COMMENT_MAX && !memchr(sig.comment, '\n', len));
		check_words(sig.comment);
	}
	minisign_parse_key(text, size, &key);
	memcpy(key.pk, data, size < sizeof key.pk ? size : sizeof key.pk);
	CHECK(minisign_check(text, size, &key, 1, data, 0, &sig) != MINISIGN_VALID);
	return 0;
}

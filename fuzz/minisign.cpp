// SPDX-License-Identifier: MIT
// minisign's signature and public key files as the board reads them
// (libvemra/minisign.cpp), on any text. Beyond what the sanitizers catch:
// a signature that parses has a trusted comment within its bound and
// without a line break; any text checked against a key made of its own
// bytes is never taken for a valid signature of an empty file; the
// comment's version: and board: words (libvemra/meta.cpp) are found within
// their bounds; any two strings, valid versions or not (the input cut at
// its first NUL, and the comment's words), compare and the comparison
// ends, each is the same as itself, and one way round is the other way
// round inverted.
#include "meta.h"
#include "minisign.h"

#include <cstdlib>
#include <cstring>
#include <string>

#define CHECK(ok) ((ok) ? (void)0 : abort())

static int sign(int x)
{
	return (x > 0) - (x < 0);
}

static void check_order(const char *a, const char *b)
{
	CHECK(version_compare(a, a) == 0);
	CHECK(sign(version_compare(a, b)) == -sign(version_compare(b, a)));
}

static void check_words(const char *comment)
{
	image_meta m;

	meta_from_comment(comment, &m);
	CHECK(strlen(m.version) < sizeof m.version && strlen(m.board) < sizeof m.board);
	check_order(m.version, m.board);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	const char *text = reinterpret_cast<const char *>(data);
	minisign_key key = {};
	minisign_sig sig;
	const char *nul = static_cast<const char *>(memchr(data, 0, size));

	if (nul)
		check_order(text, std::string(nul + 1, text + size).c_str());
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

// SPDX-License-Identifier: MIT
#include "minisign.h"

#include <cstdio>
#include <cstring>

#include <sodium.h>

static const char UNTRUSTED[] = "untrusted comment: ";
static const char TRUSTED[] = "trusted comment: ";

// The next line of text from *at (without its "\n" or "\r\n"); false when
// there is none.
static bool next_line(const char **at, const char *end, const char **line, size_t *len)
{
	const char *nl;

	if (*at >= end)
		return false;
	nl = (const char *)memchr(*at, '\n', (size_t)(end - *at));
	*line = *at;
	*len = (size_t)((nl ? nl : end) - *at);
	*at = nl ? nl + 1 : end;
	if (*len > 0 && (*line)[*len - 1] == '\r')
		(*len)--;
	return true;
}

static bool starts(const char *line, size_t len, const char *prefix)
{
	const size_t n = strlen(prefix);

	return len >= n && memcmp(line, prefix, n) == 0;
}

// Exactly size bytes of base64 (the standard alphabet, with padding).
static bool base64(const char *line, size_t len, uint8_t *out, size_t size)
{
	size_t got = 0;
	const char *end = NULL;

	return sodium_base642bin(out, size, line, len, NULL, &got, &end,
				 sodium_base64_VARIANT_ORIGINAL) == 0 &&
	       got == size && end == line + len;
}

bool minisign_parse_key(const char *text, size_t size, minisign_key *k)
{
	const char *at = text, *line;
	uint8_t raw[2 + 8 + 32];
	size_t len;

	if (!next_line(&at, text + size, &line, &len) || !starts(line, len, UNTRUSTED) ||
	    !next_line(&at, text + size, &line, &len) || !base64(line, len, raw, sizeof raw) ||
	    memcmp(raw, "Ed", 2) != 0)
		return false;
	memcpy(k->id, raw + 2, sizeof k->id);
	memcpy(k->pk, raw + 10, sizeof k->pk);
	return true;
}

bool minisign_parse_sig(const char *text, size_t size, minisign_sig *s)
{
	const char *at = text, *end = text + size, *line;
	uint8_t raw[2 + 8 + 64];
	size_t len;

	if (!next_line(&at, end, &line, &len) || !starts(line, len, UNTRUSTED) ||
	    !next_line(&at, end, &line, &len) || !base64(line, len, raw, sizeof raw))
		return false;
	s->prehashed = memcmp(raw, "ED", 2) == 0;
	if (!s->prehashed && memcmp(raw, "Ed", 2) != 0)
		return false;
	memcpy(s->id, raw + 2, sizeof s->id);
	memcpy(s->sig, raw + 10, sizeof s->sig);
	// The global signature covers the comment's text up to a NUL only.
	if (!next_line(&at, end, &line, &len) || !starts(line, len, TRUSTED) ||
	    len - strlen(TRUSTED) > MINISIGN_COMMENT_MAX || memchr(line, '\0', len))
		return false;
	memcpy(s->comment, line + strlen(TRUSTED), len - strlen(TRUSTED));
	s->comment[len - strlen(TRUSTED)] = '\0';
	return next_line(&at, end, &line, &len) && base64(line, len, s->global, sizeof s->global);
}


void minisign_id_text(const uint8_t *id, char *out)
{
	// minisign shows the id as a little-endian 64-bit number.
	for (int i = 0; i < 8; i++)
		snprintf(out + 2 * i, 3, "%02X", id[7 - i]);
}

static_assert(sizeof(minisign_hash::state) >= sizeof(crypto_generichash_state) &&
		      alignof(minisign_hash) >= alignof(crypto_generichash_state),
	      "minisign_hash holds libsodium's state");

static crypto_generichash_state *state(minisign_hash *h)
{
	return reinterpret_cast<crypto_generichash_state *>(h->state);
}

void minisign_hash_start(minisign_hash *h)
{
	crypto_generichash_init(state(h), NULL, 0, crypto_generichash_BYTES_MAX);
}

void minisign_hash_add(minisign_hash *h, const uint8_t *bytes, size_t size)
{
	crypto_generichash_update(state(h), bytes, size);
}

// The global signature: over the signature and the trusted comment.
static bool comment_signed(const minisign_sig *s, const minisign_key *k)
{
	uint8_t signed_comment[sizeof s->sig + MINISIGN_COMMENT_MAX];
	const size_t comment = strlen(s->comment);

	memcpy(signed_comment, s->sig, sizeof s->sig);
	memcpy(signed_comment + sizeof s->sig, s->comment, comment);
	return crypto_sign_verify_detached(s->global, signed_comment, sizeof s->sig + comment,
					   k->pk) == 0;
}

// The signature over what was signed: the hash, or the file's bytes.
static minisign_verdict signed_by(const minisign_sig *s, const minisign_key *k,
				  const uint8_t *what, size_t size)
{
	return crypto_sign_verify_detached(s->sig, what, size, k->pk) == 0 ? MINISIGN_VALID
									 : MINISIGN_BAD_SIGNATURE;
}

minisign_verdict minisign_check_hash(const minisign_sig *s, const minisign_key *k,
				     minisign_hash *h)
{
	uint8_t hash[crypto_generichash_BYTES_MAX];

	if (!s->prehashed)
		return MINISIGN_BAD_SIGNATURE;
	crypto_generichash_final(state(h), hash, sizeof hash);
	return signed_by(s, k, hash, sizeof hash);
}

minisign_verdict minisign_check_bytes(const minisign_sig *s, const minisign_key *k,
				      const uint8_t *file, size_t size)
{
	minisign_hash h = {};

	if (!s->prehashed)
		return signed_by(s, k, file, size);
	minisign_hash_start(&h);
	minisign_hash_add(&h, file, size);
	return minisign_check_hash(s, k, &h);
}

static minisign_verdict verify(const minisign_sig *s, const minisign_key *k, const uint8_t *file,
			       size_t size)
{
	const minisign_verdict v = minisign_check_bytes(s, k, file, size);

	if (v != MINISIGN_VALID)
		return v;
	return comment_signed(s, k) ? MINISIGN_VALID : MINISIGN_BAD_COMMENT;
}

minisign_verdict minisign_check_comment(const minisign_sig *s, const minisign_key *keys,
					size_t key_count, const minisign_key **signer)
{
	minisign_verdict v = MINISIGN_UNTRUSTED;

	*signer = NULL;
	if (sodium_init() < 0)
		return MINISIGN_NO_CRYPTO;
	for (size_t i = 0; i < key_count && !*signer; i++) {
		if (memcmp(s->id, keys[i].id, sizeof s->id) != 0)
			continue;
		v = MINISIGN_BAD_COMMENT;
		if (comment_signed(s, &keys[i]))
			*signer = &keys[i];
	}
	return *signer ? MINISIGN_VALID : v;
}

minisign_verdict minisign_check(const char *text, size_t text_size, const minisign_key *keys,
				size_t key_count, const uint8_t *file, size_t size, minisign_sig *s)
{
	minisign_verdict v = MINISIGN_UNTRUSTED;

	if (!minisign_parse_sig(text, text_size, s))
		return MINISIGN_MALFORMED;
	if (sodium_init() < 0)
		return MINISIGN_NO_CRYPTO;
	// Two keys may share an id: the signature is valid when one of them
	// made it, and otherwise fails as the first of them says.
	for (size_t i = 0; i < key_count && v != MINISIGN_VALID; i++) {
		if (memcmp(s->id, keys[i].id, sizeof s->id) != 0)
			continue;
		const minisign_verdict k = verify(s, &keys[i], file, size);
		if (k == MINISIGN_VALID || v == MINISIGN_UNTRUSTED)
			v = k;
	}
	return v;
}

bool minisign_word(const char *comment, const char *name, char *value, size_t size, bool *whole)
{
	const size_t n = strlen(name);

	for (const char *w = comment; *w; w += strcspn(w, "\t"), w += *w == '\t') {
		const size_t len = strcspn(w, "\t");

		if (len > n && memcmp(w, name, n) == 0 && w[n] == ':') {
			const size_t copy = len - n - 1 < size ? len - n - 1 : size - 1;

			memcpy(value, w + n + 1, copy);
			value[copy] = '\0';
			*whole = copy == len - n - 1;
			return true;
		}
	}
	return false;
}

const char *minisign_reason(minisign_verdict v)
{
	switch (v) {
	case MINISIGN_VALID:
		return "signed by a trusted key";
	case MINISIGN_MALFORMED:
		return "not a minisign signature file";
	case MINISIGN_UNTRUSTED:
		return "signed by a key that is not trusted";
	case MINISIGN_BAD_SIGNATURE:
		return "the signature does not match";
	case MINISIGN_NO_CRYPTO:
		return "libsodium cannot be initialised";
	case MINISIGN_BAD_COMMENT:
		break;
	}
	return "the trusted comment does not match its signature";
}

// SPDX-License-Identifier: MIT
// minisign's public key and signature files, checked with libsodium: the
// signature of the file's bytes (Ed25519 over their BLAKE2b-512 hash, the
// prehashed form "ED", or over the bytes themselves, the legacy "Ed"), the
// key id, and the global signature over the trusted comment.
#ifndef LIBVEMRA_MINISIGN_H
#define LIBVEMRA_MINISIGN_H

#include <cstddef>
#include <cstdint>

// The longest trusted comment that minisign 0.11 verifies (it signs up to
// 4077 bytes), and the most bytes a key or signature file may hold: the
// board and the host take the same files.
constexpr size_t MINISIGN_COMMENT_MAX = 8173;
constexpr size_t MINISIGN_FILE_MAX = 16384;

struct minisign_key {
	uint8_t id[8];
	uint8_t pk[32];
};

struct minisign_sig {
	bool prehashed;
	uint8_t id[8];
	uint8_t sig[64];
	char comment[MINISIGN_COMMENT_MAX + 1]; // the trusted comment's text
	uint8_t global[64];
};

enum minisign_verdict {
	MINISIGN_VALID,
	MINISIGN_MALFORMED,     // not a minisign signature file
	MINISIGN_UNTRUSTED,     // signed by a key that is not among the trusted
	MINISIGN_BAD_SIGNATURE, // the file's bytes are not what was signed
	MINISIGN_BAD_COMMENT,   // the trusted comment is not what was signed
	MINISIGN_NO_CRYPTO,     // libsodium cannot be initialised: nothing checked
};

// False for a file that is not one of minisign's (lines as minisign
// writes them, base64 of the right length, a known algorithm, a trusted
// comment without a NUL).
bool minisign_parse_key(const char *text, size_t size, minisign_key *k);
bool minisign_parse_sig(const char *text, size_t size, minisign_sig *s);

// The signature file's text over the file's bytes, with the trusted keys:
// its form, its key id, the signature, the global signature, in that order.
// Every key with the signature's id is tried. *s receives what was parsed
// (its key id, for the message).
minisign_verdict minisign_check(const char *text, size_t text_size, const minisign_key *keys,
				size_t key_count, const uint8_t *file, size_t size, minisign_sig *s);

// The same checks in the other order, for an image that is never whole in
// memory: first, from the signature file alone, the key among the trusted
// that made the global signature over the signature and its trusted
// comment (*signer; MINISIGN_UNTRUSTED when no key has the id,
// MINISIGN_BAD_COMMENT when none of them made it); then the image's bytes,
// added to a hash as they come (the prehashed form), or whole (either form).
minisign_verdict minisign_check_comment(const minisign_sig *s, const minisign_key *keys,
					size_t key_count, const minisign_key **signer);
// BLAKE2b-512 as the prehashed form takes it; room for libsodium's state.
struct minisign_hash {
	alignas(64) unsigned char state[384];
};
void minisign_hash_start(minisign_hash *h);
void minisign_hash_add(minisign_hash *h, const uint8_t *bytes, size_t size);
// The hash of the bytes added against a prehashed signature.
minisign_verdict minisign_check_hash(const minisign_sig *s, const minisign_key *k,
				     minisign_hash *h);
minisign_verdict minisign_check_bytes(const minisign_sig *s, const minisign_key *k,
				      const uint8_t *file, size_t size);
// What a verdict means, in a few words; the key's id for the untrusted.
const char *minisign_reason(minisign_verdict v);
// The key id as minisign shows it: 16 hexadecimal digits.
void minisign_id_text(const uint8_t *id, char *out);

// The value of the word "name:value" among the trusted comment's words,
// which minisign separates by tabs (timestamp:, file:): false when there
// is none. One that does not fit size (> 0) bytes with its NUL is cut to
// fit, and *whole is false.
bool minisign_word(const char *comment, const char *name, char *value, size_t size, bool *whole);

#endif

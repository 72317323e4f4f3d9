// SPDX-License-Identifier: MIT
#include "inspect.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "io.h"
#include "meta.h"
#include "minisign.h"
#include "output.h"

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

int cmd_list(const char *path)
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

int cmd_verify(const char *path, const char *key, const char *signature)
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

int cmd_extract(const char *path, const char *out)
{
	output o;
	image_check c;
	const int fd = output_open(out, &o);

	if (fd < 0)
		return STATUS_ERROR;

	payload_sink p = { fd, {}, 0 };

	if (!check_file(path, &p, o.name, &c)) {
		output_discard(&o);
		return STATUS_ERROR;
	}
	if (c.state != IMAGE_VALID) {
		output_discard(&o);
		error("%s: %s", path, reason(c).c_str());
		return STATUS_REJECTED;
	}
	return output_commit(&o);
}

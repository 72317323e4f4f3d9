// SPDX-License-Identifier: MIT
#include "fleet_words.h"

#include <cstring>

bool fleet_name_valid(const char *s)
{
	const size_t n = strlen(s);

	return n >= 1 && n <= FLEET_NAME_MAX &&
	       strspn(s, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-") == n;
}

// A single quote is one of a url's own characters, and harmless: no
// shell ever sees the url (the agent runs wget with it as an argument).
bool fleet_url_valid(const char *s)
{
	const size_t n = strlen(s);

	if (n > FLEET_URL_MAX || (strncmp(s, "http://", 7) != 0 && strncmp(s, "https://", 8) != 0))
		return false;
	for (size_t i = 0; i < n; i++) {
		const unsigned char c = (unsigned char)s[i];

		if (c <= ' ' || c > '~' || c == '"' || c == '\\')
			return false;
	}
	return true;
}

// SPDX-License-Identifier: MIT
#include "announce.h"

#include <cjson/cJSON.h>
#include <cstdio>
#include <cstring>

#include "common.h"
#include "fleet_words.h"
#include "meta.h"

// Whether the values may go into the topic and the announcement; says
// which one may not.
static bool values_valid(const char *board, const char *group, const char *url, const char *version)
{
	const char *bad = !fleet_name_valid(board) ? "--board" : !fleet_name_valid(group) ? "--group" : nullptr;

	if (bad) {
		error("%s '%s': not 1 to 63 of A-Z a-z 0-9 . _ -", bad, bad[2] == 'b' ? board : group);
		return false;
	}
	if (url && !fleet_url_valid(url)) {
		error("--url '%s': not an http:// or https:// URL of at most %zu characters without blanks, "
		      "double quotes or backslashes", url, FLEET_URL_MAX);
		return false;
	}
	if (version && !version_valid(version)) {
		error("--version '%s': not a version (numbers and dots: 2.4.1)", version);
		return false;
	}
	return true;
}

// {"url":URL,"version":V}, or nullptr when memory runs out.
static char *announcement(const char *url, const char *version)
{
	cJSON *o = cJSON_CreateObject();
	char *text = nullptr;

	if (o && cJSON_AddStringToObject(o, "url", url) && cJSON_AddStringToObject(o, "version", version))
		text = cJSON_PrintUnformatted(o);
	cJSON_Delete(o);
	return text;
}

int cmd_announce(const broker_address *a, const credentials *c, const char *board, const char *group,
		 const char *url, const char *version)
{
	if (!values_valid(board, group, url, version))
		return STATUS_REFUSED;
	char topic[160];
	char *payload = url ? announcement(url, version) : nullptr;

	snprintf(topic, sizeof topic, "vemra/%s/%s/update", board, group);
	if (url && !payload) {
		error("out of memory");
		return STATUS_ERROR;
	}
	session s = {};
	int status = session_open(&s, a, c);

	if (status == STATUS_OK)
		status = session_publish(&s, topic, payload, payload ? (int)strlen(payload) : 0, true);
	session_close(&s);
	cJSON_free(payload);
	if (status == STATUS_OK) {
		if (url)
			printf("%s: %s announced\n", topic, version);
		else
			printf("%s: withdrawn\n", topic);
		if (fflush(stdout) != 0) {
			error("standard output: write error");
			return STATUS_ERROR;
		}
	}
	return status;
}

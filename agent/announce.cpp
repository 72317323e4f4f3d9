// SPDX-License-Identifier: MIT
#include "announce.h"
#include "fleet_words.h"

#include "meta.h"

#include <cjson/cJSON.h>
#include <cstdio>
#include <cstring>

static const char *check_object(const cJSON *o, announcement *a)
{
	const cJSON *url = cJSON_GetObjectItemCaseSensitive(o, "url");
	const cJSON *version = cJSON_GetObjectItemCaseSensitive(o, "version");

	if (!cJSON_IsObject(o))
		return "not a JSON object";
	if (!cJSON_IsString(url))
		return "no \"url\" string";
	if (!cJSON_IsString(version))
		return "no \"version\" string";
	if (strlen(url->valuestring) > FLEET_URL_MAX)
		return "\"url\" is longer than 512 characters";
	if (!fleet_url_valid(url->valuestring))
		return "\"url\" is not http:// or https:// and printable characters without blank, double quote or backslash";
	if (!version_valid(version->valuestring))
		return "\"version\" is not a version (1 to 8 numbers of 1 to 9 digits, separated by dots)";
	snprintf(a->url, sizeof a->url, "%s", url->valuestring);
	snprintf(a->version, sizeof a->version, "%s", version->valuestring);
	return NULL;
}

bool announce_parse(const char *payload, size_t len, announcement *a, char *err, size_t err_size)
{
	const char *why;
	cJSON *o;

	memset(a, 0, sizeof *a);
	if (len > FLEET_ANNOUNCE_MAX) {
		snprintf(err, err_size, "announcement refused: more than %zu bytes", FLEET_ANNOUNCE_MAX);
		return false;
	}
	o = cJSON_ParseWithLength(payload, len);
	why = o ? check_object(o, a) : "not JSON";
	cJSON_Delete(o);
	if (why)
		snprintf(err, err_size, "announcement refused: %s", why);
	return !why;
}

bool announce_wanted(const agent_status *s, const announcement *a, char *detail, size_t detail_size)
{
	const char *running = s->booted ? s->image[s->booted - 1].version : "";

	if (s->trial) {
		snprintf(detail, detail_size, "a trial of image %d is pending", s->trial);
		return false;
	}
	if (s->rollback && strcmp(s->image[s->rollback - 1].version, a->version) == 0) {
		snprintf(detail, detail_size, "version %s went back on this board (image %d)", a->version,
			 s->rollback);
		return false;
	}
	if (running[0] && version_compare(a->version, running) <= 0) {
		snprintf(detail, detail_size, "version %s is not newer than the running image's %s",
			 a->version, running);
		return false;
	}
	return true;
}

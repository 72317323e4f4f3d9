// SPDX-License-Identifier: MIT
#include "state.h"

#include <cjson/cJSON.h>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common.h"
#include "fleet_words.h"

// What a key of the state holds.
enum kind { NAME, TEXT, TEXT_OR_NULL, TIME, SLOT_OR_NULL, IMAGES, TRIAL, ROLLBACK, UPDATE };

struct state_key {
	const char *key;
	kind what;
};

// Every key, in the order the board sends them.
static const state_key STATE_KEYS[] = {
	{"id", NAME},         {"board", NAME},        {"group", NAME},    {"time", TIME},
	{"agent", TEXT},      {"running", SLOT_OR_NULL}, {"selected", SLOT_OR_NULL},
	{"images", IMAGES},   {"floor", TEXT_OR_NULL}, {"trial", TRIAL},  {"rollback", ROLLBACK},
	{"update", UPDATE},   {"error", TEXT_OR_NULL},
};

static const char *const EXPECTED[] = {
	"a name (1 to 63 of A-Z a-z 0-9 . _ -)", "a string", "a string or null",
	"a time (whole seconds since 1970)", "1, 2 or null", "two images (slot 1, slot 2)",
	"a trial (image, boots, used) or null", "a rollback (from, to) or null",
	"an update (version, url, step, detail) or null",
};

// 9999-12-31 23:59:59 UTC.
static const double TIME_MAX = 253402300799.0;

static bool whole(const cJSON *v, double lo, double hi)
{
	return cJSON_IsNumber(v) && v->valuedouble >= lo && v->valuedouble <= hi &&
	       v->valuedouble == floor(v->valuedouble);
}

static bool text_or_null(const cJSON *v)
{
	return cJSON_IsString(v) || cJSON_IsNull(v);
}

static bool image_valid(const cJSON *image, int slot)
{
	return cJSON_IsObject(image) && whole(cJSON_GetObjectItemCaseSensitive(image, "slot"), slot, slot) &&
	       cJSON_IsString(cJSON_GetObjectItemCaseSensitive(image, "state")) &&
	       text_or_null(cJSON_GetObjectItemCaseSensitive(image, "version")) &&
	       text_or_null(cJSON_GetObjectItemCaseSensitive(image, "signature"));
}

// Whether every key named holds a whole number from 0 to 255.
static bool small_numbers(const cJSON *o, const char *const *keys, int n)
{
	for (int i = 0; i < n; i++)
		if (!whole(cJSON_GetObjectItemCaseSensitive(o, keys[i]), 0, 255))
			return false;
	return true;
}

static bool update_valid(const cJSON *u)
{
	return cJSON_IsString(cJSON_GetObjectItemCaseSensitive(u, "version")) &&
	       cJSON_IsString(cJSON_GetObjectItemCaseSensitive(u, "url")) &&
	       cJSON_IsString(cJSON_GetObjectItemCaseSensitive(u, "step")) &&
	       text_or_null(cJSON_GetObjectItemCaseSensitive(u, "detail"));
}

static bool value_valid(const cJSON *v, kind what)
{
	static const char *const TRIAL_KEYS[] = {"image", "boots", "used"};
	static const char *const ROLLBACK_KEYS[] = {"from", "to"};

	switch (what) {
	case NAME:
		return cJSON_IsString(v) && fleet_name_valid(v->valuestring);
	case TEXT:
		return cJSON_IsString(v);
	case TEXT_OR_NULL:
		return text_or_null(v);
	case TIME:
		return whole(v, 0, TIME_MAX);
	case SLOT_OR_NULL:
		return cJSON_IsNull(v) || whole(v, 1, 2);
	case IMAGES:
		return cJSON_IsArray(v) && cJSON_GetArraySize(v) == 2 &&
		       image_valid(cJSON_GetArrayItem(v, 0), 1) && image_valid(cJSON_GetArrayItem(v, 1), 2);
	case TRIAL:
		return cJSON_IsNull(v) || (cJSON_IsObject(v) && small_numbers(v, TRIAL_KEYS, 3));
	case ROLLBACK:
		return cJSON_IsNull(v) || (cJSON_IsObject(v) && small_numbers(v, ROLLBACK_KEYS, 2));
	case UPDATE:
		return cJSON_IsNull(v) || (cJSON_IsObject(v) && update_valid(v));
	}
	return false;
}

// Whether every key is there and of its kind; why not in why.
static bool keys_valid(const cJSON *o, char *why, size_t why_size)
{
	for (const state_key &k : STATE_KEYS) {
		const cJSON *v = cJSON_GetObjectItemCaseSensitive(o, k.key);

		if (!v) {
			snprintf(why, why_size, "no \"%s\"", k.key);
			return false;
		}
		if (!value_valid(v, k.what)) {
			snprintf(why, why_size, "\"%s\" is not %s", k.key, EXPECTED[k.what]);
			return false;
		}
	}
	return true;
}

static const cJSON *item(const cJSON *o, const char *key)
{
	return cJSON_GetObjectItemCaseSensitive(o, key);
}

static int number(const cJSON *o, const char *key)
{
	return (int)item(o, key)->valuedouble;
}

// The texts of the row, from a state whose keys are valid.
static void fill(const cJSON *st, fleet_row *r)
{
	snprintf(r->id, sizeof r->id, "%s", item(st, "id")->valuestring);
	snprintf(r->board, sizeof r->board, "%s", item(st, "board")->valuestring);
	snprintf(r->group, sizeof r->group, "%s", item(st, "group")->valuestring);
	const cJSON *running = item(st, "running"), *trial = item(st, "trial");
	const cJSON *rollback = item(st, "rollback"), *update = item(st, "update");

	snprintf(r->running, sizeof r->running, "-");
	if (cJSON_IsNumber(running)) {
		const int slot = (int)running->valuedouble;
		const cJSON *version = item(cJSON_GetArrayItem(item(st, "images"), slot - 1), "version");

		snprintf(r->running, sizeof r->running, cJSON_IsString(version) ? "%d (%.63s)" : "%d", slot,
			 cJSON_IsString(version) ? version->valuestring : "");
	}
	snprintf(r->trial, sizeof r->trial, "-");
	if (cJSON_IsObject(trial))
		snprintf(r->trial, sizeof r->trial, "image %d, %d of %d boot%s", number(trial, "image"),
			 number(trial, "used"), number(trial, "boots"), number(trial, "boots") == 1 ? "" : "s");
	snprintf(r->rollback, sizeof r->rollback, "-");
	if (cJSON_IsObject(rollback))
		snprintf(r->rollback, sizeof r->rollback, "image %d -> %d", number(rollback, "from"),
			 number(rollback, "to"));
	snprintf(r->update, sizeof r->update, "-");
	if (cJSON_IsObject(update))
		snprintf(r->update, sizeof r->update, "%.15s %.63s", item(update, "step")->valuestring,
			 item(update, "version")->valuestring);
	const time_t t = (time_t)item(st, "time")->valuedouble;
	struct tm tm;

	if (!gmtime_r(&t, &tm) || strftime(r->seen, sizeof r->seen, "%Y-%m-%d %H:%M:%S", &tm) == 0)
		snprintf(r->seen, sizeof r->seen, "-");
}

// Whether the bytes from p to end are blanks alone.
static bool blank(const char *p, const char *end)
{
	for (; p < end; p++)
		if (*p != ' ' && *p != '\t' && *p != '\n' && *p != '\r')
			return false;
	return true;
}

bool state_row(const char *topic, const char *payload, size_t len, fleet_row *r, char *why, size_t why_size)
{
	if (len > FLEET_STATE_MAX) {
		snprintf(why, why_size, "%zu bytes, more than %zu", len, FLEET_STATE_MAX);
		return false;
	}
	const char *end = nullptr;
	cJSON *st = cJSON_ParseWithLengthOpts(payload, len, &end, false);

	if (!st || !blank(end, payload + len) || !cJSON_IsObject(st)) {
		snprintf(why, why_size, "%s", st && blank(end, payload + len) ? "not a JSON object" : "not JSON");
		cJSON_Delete(st);
		return false;
	}
	if (!keys_valid(st, why, why_size)) {
		cJSON_Delete(st);
		return false;
	}
	fill(st, r);
	char own[160];

	snprintf(own, sizeof own, "vemra/%s/%s/state", r->board, r->id);
	if (strcmp(topic, own) != 0) {
		snprintf(why, why_size, "the state of %s on another board's topic", r->id);
		cJSON_Delete(st);
		return false;
	}
	r->state = st;
	return true;
}

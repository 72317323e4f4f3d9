// SPDX-License-Identifier: MIT
#include "state.h"

#include <cjson/cJSON.h>
#include <cstdlib>
#include <cstring>

static void copy_word(char *dst, const char *v, size_t len)
{
	if (len >= TEXT_SIZE)
		len = TEXT_SIZE - 1;
	memcpy(dst, v, len);
	dst[len] = '\0';
}

// "1" or "2", else 0.
static int slot_number(const char *v, size_t len)
{
	return len == 1 && (v[0] == '1' || v[0] == '2') ? v[0] - '0' : 0;
}

// 0 to 99, else 0.
static int small_number(const char *v, size_t len)
{
	int n = 0;

	if (len == 0 || len > 2)
		return 0;
	for (size_t i = 0; i < len; i++) {
		if (v[i] < '0' || v[i] > '9')
			return 0;
		n = n * 10 + (v[i] - '0');
	}
	return n;
}

static void set_image(slot_status *s, const char *field, const char *v, size_t len)
{
	if (!*field)
		copy_word(s->state, v, len);
	else if (strcmp(field, "_version") == 0)
		copy_word(s->version, v, len);
	else if (strcmp(field, "_signature") == 0)
		copy_word(s->signature, v, len);
}

static void set_status(agent_status *s, const char *key, const char *v, size_t len)
{
	struct { const char *key; int *field; bool slot; } const numbers[] = {
		{ "booted", &s->booted, true },       { "selected", &s->selected, true },
		{ "trial", &s->trial, true },         { "trial_boots", &s->trial_boots, false },
		{ "trial_used", &s->trial_used, false }, { "rollback", &s->rollback, true },
		{ "rollback_to", &s->rollback_to, true },
	};

	for (const auto &n : numbers)
		if (strcmp(key, n.key) == 0)
			*n.field = n.slot ? slot_number(v, len) : small_number(v, len);
	if (strncmp(key, "image", 5) == 0 && (key[5] == '1' || key[5] == '2'))
		set_image(&s->image[key[5] - '1'], key + 6, v, len);
	else if (strcmp(key, "board") == 0)
		copy_word(s->board, v, len);
	else if (strcmp(key, "floor") == 0)
		copy_word(s->floor, v, len);
}

void status_parse(const char *text, agent_status *s)
{
	memset(s, 0, sizeof *s);
	while (*text) {
		const char *end = strchr(text, '\n');
		const size_t line = end ? (size_t)(end - text) : strlen(text);
		const size_t klen = strcspn(text, "=\n"); // the key, up to its '='
		char key[32];

		if (klen < sizeof key && text[klen] == '=') {
			memcpy(key, text, klen);
			key[klen] = '\0';
			set_status(s, key, text + klen + 1, line - klen - 1);
		}
		text += line + (end ? 1 : 0);
	}
}

/* The JSON */

// Every cJSON call may fail for memory; ok turns false then.
struct builder {
	bool ok;
};

static void check(builder *b, const void *made)
{
	if (!made)
		b->ok = false;
}

static void add_text(builder *b, cJSON *o, const char *key, const char *v)
{
	check(b, *v ? cJSON_AddStringToObject(o, key, v) : cJSON_AddNullToObject(o, key));
}

static void add_number(builder *b, cJSON *o, const char *key, double v, bool present)
{
	check(b, present ? cJSON_AddNumberToObject(o, key, v) : cJSON_AddNullToObject(o, key));
}

static void add_images(builder *b, cJSON *o, const agent_status *s)
{
	cJSON *images = cJSON_AddArrayToObject(o, "images");

	check(b, images);
	for (int n = 1; n <= 2 && images; n++) {
		const slot_status &slot = s->image[n - 1];
		cJSON *item = cJSON_CreateObject();

		check(b, item);
		if (item && !cJSON_AddItemToArray(images, item)) {
			cJSON_Delete(item);
			b->ok = false;
			return;
		}
		add_number(b, item, "slot", n, true);
		add_text(b, item, "state", slot.state[0] ? slot.state : "unreadable");
		add_text(b, item, "version", slot.version);
		add_text(b, item, "signature", slot.signature);
	}
}

// An object of the given keys, or null when present is false.
static cJSON *add_object(builder *b, cJSON *o, const char *key, bool present)
{
	cJSON *made = present ? cJSON_AddObjectToObject(o, key) : NULL;

	check(b, present ? made : cJSON_AddNullToObject(o, key));
	return made;
}

static const char *const STEPS[] = { "", "installing", "rebooting", "refused", "failed", "skipped" };

static void add_report(builder *b, cJSON *o, const agent_report *r)
{
	cJSON *u = add_object(b, o, "update", r->step != STEP_NONE);

	if (u) {
		add_text(b, u, "version", r->version);
		add_text(b, u, "url", r->url);
		add_text(b, u, "step", STEPS[r->step]);
		check(b, cJSON_AddStringToObject(u, "detail", r->detail));
	}
	add_text(b, o, "error", r->error);
}

char *state_json(const state_names *n, const agent_status *s, const agent_report *r, int64_t time)
{
	builder b = { true };
	cJSON *o = cJSON_CreateObject(), *t;
	char *text = NULL;

	check(&b, o);
	add_text(&b, o, "id", n->id);
	add_text(&b, o, "board", n->board);
	add_text(&b, o, "group", n->group);
	add_number(&b, o, "time", (double)time, true);
	add_text(&b, o, "agent", VEMRA_VERSION);
	add_number(&b, o, "running", s->booted, s->booted != 0);
	add_number(&b, o, "selected", s->selected, s->selected != 0);
	add_images(&b, o, s);
	add_text(&b, o, "floor", s->floor);
	if ((t = add_object(&b, o, "trial", s->trial != 0))) {
		add_number(&b, t, "image", s->trial, true);
		add_number(&b, t, "boots", s->trial_boots, true);
		add_number(&b, t, "used", s->trial_used, true);
	}
	if ((t = add_object(&b, o, "rollback", s->rollback != 0))) {
		add_number(&b, t, "from", s->rollback, true);
		add_number(&b, t, "to", s->rollback_to, true);
	}
	add_report(&b, o, r);
	if (b.ok)
		text = cJSON_PrintUnformatted(o);
	cJSON_Delete(o);
	if (text && strlen(text) > FLEET_STATE_MAX) {
		free(text);
		text = NULL;
	}
	return text;
}

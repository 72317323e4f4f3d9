// SPDX-License-Identifier: MIT
// When the list is complete: the states are retained messages, which the
// broker hands to a new subscription before any later message. So the
// list subscribes, in the same SUBSCRIBE, to the states and to a probe
// topic of its own, vemra-fleet/CLIENT-ID, publishes to the probe once the
// SUBACK is in, and has every retained state once the probe comes back:
// no timer guesses when they have all arrived (the session's bound only
// ends a broker that does not answer).
#include "listing.h"

#include <cjson/cJSON.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mosquitto.h>

#include "common.h"
#include "state.h"

struct received {
	char *topic;
	char *payload;
	size_t len;
	size_t order; // the message's place among those received
};

struct listing {
	char probe[96];
	bool done;          // the probe came back
	bool out_of_memory;
	received *msgs;
	size_t n, cap;
};

static void drop(received *m)
{
	free(m->topic);
	free(m->payload);
}

// A new message at the end; false when memory runs out.
static bool keep(listing *l, const mosquitto_message *msg)
{
	if (l->n == l->cap) {
		const size_t cap = l->cap ? 2 * l->cap : 64;
		received *grown = (received *)realloc(l->msgs, cap * sizeof *grown);

		if (!grown)
			return false;
		l->msgs = grown;
		l->cap = cap;
	}
	received *m = &l->msgs[l->n];

	m->topic = strdup(msg->topic);
	m->payload = (char *)malloc(msg->payloadlen > 0 ? (size_t)msg->payloadlen : 1);
	m->len = (size_t)msg->payloadlen;
	m->order = l->n;
	if (!m->topic || !m->payload) {
		drop(m);
		return false;
	}
	if (m->len)
		memcpy(m->payload, msg->payload, m->len);
	l->n++;
	return true;
}

static void on_message(session *s, const mosquitto_message *msg)
{
	listing *l = (listing *)s->user;

	if (l->done || l->out_of_memory)
		return;
	if (strcmp(msg->topic, l->probe) == 0)
		l->done = true;
	else if (!keep(l, msg))
		l->out_of_memory = true;
}

// By topic, then in the order received.
static int by_topic(const void *a, const void *b)
{
	const received *x = (const received *)a, *y = (const received *)b;
	const int topic = strcmp(x->topic, y->topic);

	return topic ? topic : x->order < y->order ? -1 : 1;
}

static int by_board_then_id(const void *a, const void *b)
{
	const fleet_row *x = (const fleet_row *)a, *y = (const fleet_row *)b;
	const int board = strcmp(x->board, y->board);

	return board ? board : strcmp(x->id, y->id);
}

// The table: each column padded to its width and followed by a blank
// (a longer value is printed whole, moving the rest of its line); LAST
// SEEN last. The widths are documented in docs/fleet.md.
static void print_table(const fleet_row *rows, size_t n)
{
	static const char FORMAT[] = "%-16s %-12s %-10s %-12s %-22s %-12s %-16s %s\n";

	printf(FORMAT, "ID", "BOARD", "GROUP", "RUNNING", "TRIAL", "ROLLBACK", "UPDATE", "LAST SEEN (UTC)");
	for (size_t i = 0; i < n; i++)
		printf(FORMAT, rows[i].id, rows[i].board, rows[i].group, rows[i].running, rows[i].trial,
		       rows[i].rollback, rows[i].update, rows[i].seen);
}

// A column's text, null for "-".
static cJSON *text(const char *s)
{
	return strcmp(s, "-") == 0 ? cJSON_CreateNull() : cJSON_CreateString(s);
}

// One object per row: the columns, then the whole state (taken from the row).
static bool print_json(fleet_row *rows, size_t n)
{
	cJSON *all = cJSON_CreateArray();
	bool ok = all != nullptr;

	for (size_t i = 0; ok && i < n; i++) {
		fleet_row *r = &rows[i];
		cJSON *o = cJSON_CreateObject();

		ok = o && cJSON_AddItemToArray(all, o) && cJSON_AddItemToObject(o, "id", text(r->id)) &&
		     cJSON_AddItemToObject(o, "board", text(r->board)) &&
		     cJSON_AddItemToObject(o, "group", text(r->group)) &&
		     cJSON_AddItemToObject(o, "running", text(r->running)) &&
		     cJSON_AddItemToObject(o, "trial", text(r->trial)) &&
		     cJSON_AddItemToObject(o, "rollback", text(r->rollback)) &&
		     cJSON_AddItemToObject(o, "update", text(r->update)) &&
		     cJSON_AddItemToObject(o, "last_seen", text(r->seen)) &&
		     cJSON_AddItemToObject(o, "state", r->state);
		if (ok)
			r->state = nullptr;
	}
	char *out = ok ? cJSON_PrintUnformatted(all) : nullptr;

	cJSON_Delete(all);
	if (!out) {
		error("out of memory");
		return false;
	}
	printf("%s\n", out);
	cJSON_free(out);
	return true;
}

// The rows of the states received; a line on stderr for each that is not
// one. Sets *bad when there was one.
static fleet_row *make_rows(listing *l, size_t *n, bool *bad)
{
	fleet_row *rows = (fleet_row *)calloc(l->n ? l->n : 1, sizeof *rows);

	*n = 0;
	if (!rows)
		return nullptr;
	if (l->n > 1)
		qsort(l->msgs, l->n, sizeof *l->msgs, by_topic);
	for (size_t i = 0; i < l->n; i++) {
		const received *m = &l->msgs[i];
		char why[200];

		// A later message on the same topic replaces this one; an empty one
		// withdraws the state.
		if ((i + 1 < l->n && strcmp(l->msgs[i + 1].topic, m->topic) == 0) || m->len == 0)
			continue;
		if (state_row(m->topic, m->payload, m->len, &rows[*n], why, sizeof why))
			++*n;
		else {
			error("%s: %s", m->topic, why);
			*bad = true;
		}
	}
	qsort(rows, *n, sizeof *rows, by_board_then_id);
	return rows;
}

static int report(listing *l, bool json)
{
	size_t n;
	bool bad = false;
	fleet_row *rows = make_rows(l, &n, &bad);

	if (!rows) {
		error("out of memory");
		return STATUS_ERROR;
	}
	bool ok = true;

	if (json)
		ok = print_json(rows, n);
	else
		print_table(rows, n);
	for (size_t i = 0; i < n; i++)
		cJSON_Delete(rows[i].state);
	free(rows);
	if (fflush(stdout) != 0 || ferror(stdout)) {
		error("standard output: write error");
		return STATUS_ERROR;
	}
	return !ok ? STATUS_ERROR : bad ? STATUS_REFUSED : STATUS_OK;
}

static int gather(session *s, listing *l, const char *board)
{
	char states[96];

	snprintf(states, sizeof states, "vemra/%s/+/state", board ? board : "+");
	snprintf(l->probe, sizeof l->probe, "vemra-fleet/%s", s->client_id);
	const char *const filters[] = {states, l->probe};
	int status = session_subscribe(s, filters, 2);

	if (status == STATUS_OK)
		status = session_publish(s, l->probe, "", 0, false);
	if (status == STATUS_OK)
		status = session_run(s, &l->done);
	if (status == STATUS_OK && l->out_of_memory) {
		error("out of memory");
		status = STATUS_ERROR;
	}
	return status;
}

int cmd_fleet(const broker_address *a, const credentials *c, const char *board, bool json)
{
	session s = {};
	listing l = {};

	s.on_message = on_message;
	s.user = &l;
	int status = session_open(&s, a, c);

	if (status == STATUS_OK)
		status = gather(&s, &l, board);
	session_close(&s);
	if (status == STATUS_OK)
		status = report(&l, json);
	for (size_t i = 0; i < l.n; i++)
		drop(&l.msgs[i]);
	free(l.msgs);
	return status;
}

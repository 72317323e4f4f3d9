// SPDX-License-Identifier: MIT
#include "session.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <sys/random.h>
#include <unistd.h>

#include "common.h"

// PINGREQ after this many seconds of silence; the session is far shorter.
static const int KEEPALIVE = 60;

static int64_t now_ms()
{
	timespec t;

	clock_gettime(CLOCK_MONOTONIC, &t);
	return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

bool broker_parse(const char *s, broker_address *a)
{
	const char *host = s, *port = nullptr;
	size_t host_len;

	if (s[0] == '[') {
		const char *end = strchr(s, ']');

		if (!end || (end[1] != '\0' && end[1] != ':'))
			return false;
		host = s + 1;
		host_len = (size_t)(end - host);
		port = end[1] == ':' ? end + 2 : nullptr;
	} else {
		const char *colon = strchr(s, ':');

		if (colon && strchr(colon + 1, ':'))
			return false;
		host_len = colon ? (size_t)(colon - s) : strlen(s);
		port = colon ? colon + 1 : nullptr;
	}
	if (host_len == 0 || host_len >= sizeof a->host)
		return false;
	memcpy(a->host, host, host_len);
	a->host[host_len] = '\0';
	a->port = 1883;
	if (!port)
		return true;
	char *end;
	const long n = strtol(port, &end, 10);

	if (port[0] < '0' || port[0] > '9' || *end || n < 1 || n > 65535)
		return false;
	a->port = (int)n;
	return true;
}

static void on_connect(mosquitto *, void *obj, int rc, int, const mosquitto_property *)
{
	session *s = (session *)obj;

	s->connack = rc;
	s->answered = true;
}

static void on_disconnect(mosquitto *, void *obj, int rc, const mosquitto_property *)
{
	session *s = (session *)obj;

	s->lost = true;
	s->disconnect_reason = rc;
}

static void on_subscribe(mosquitto *, void *obj, int mid, int count, const int *codes,
			 const mosquitto_property *)
{
	session *s = (session *)obj;

	if (mid != s->sub_mid)
		return;
	s->subscribed = true;
	s->sub_count = count < 4 ? count : 4;
	for (int i = 0; i < s->sub_count; i++)
		s->sub_codes[i] = codes[i];
}

static void on_publish(mosquitto *, void *obj, int mid, int reason, const mosquitto_property *)
{
	session *s = (session *)obj;

	if (mid != s->pub_mid)
		return;
	s->published = true;
	s->pub_reason = reason;
}

static void on_message(mosquitto *, void *obj, const mosquitto_message *m, const mosquitto_property *)
{
	session *s = (session *)obj;

	if (s->on_message)
		s->on_message(s, m);
}

static const char *cause(int rc)
{
	return rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc);
}

// Says why the session cannot go on: the broker's reason, the network's,
// or the time.
static int broken(const session *s, int rc)
{
	const bool connecting = s->connack == -1;

	if (s->lost && s->disconnect_reason >= 0x80)
		error("%s: the broker ended the connection: %s (0x%02X)", s->where,
		      mosquitto_reason_string(s->disconnect_reason), s->disconnect_reason);
	else if (rc != MOSQ_ERR_SUCCESS)
		error("%s %s: %s", connecting ? "cannot connect to" : "lost the connection to", s->where,
		      cause(rc));
	else if (s->lost)
		error("%s %s", connecting ? "cannot connect to" : "lost the connection to", s->where);
	else
		error("%s: no answer from the broker within %d s", s->where, SESSION_SECONDS);
	return STATUS_ERROR;
}

int session_run(session *s, const bool *done)
{
	while (!*done) {
		const int64_t left = s->deadline_ms - now_ms();

		if (s->lost || left <= 0)
			return broken(s, MOSQ_ERR_SUCCESS);
		errno = 0;
		const int rc = mosquitto_loop(s->mosq, left < 1000 ? (int)left : 1000, 1);

		if (rc != MOSQ_ERR_SUCCESS && !*done)
			return broken(s, rc);
	}
	return STATUS_OK;
}

static bool make_client(session *s, const credentials *c)
{
	uint32_t random = 0;

	if (getrandom(&random, sizeof random, 0) != (ssize_t)sizeof random)
		random = (uint32_t)now_ms();
	snprintf(s->client_id, sizeof s->client_id, "vemra-fleet-%ld-%08x", (long)getpid(), random);
	s->mosq = mosquitto_new(s->client_id, true, s);
	if (!s->mosq) {
		error("cannot make an MQTT client: %s", strerror(errno));
		return false;
	}
	mosquitto_int_option(s->mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
	mosquitto_connect_v5_callback_set(s->mosq, on_connect);
	mosquitto_disconnect_v5_callback_set(s->mosq, on_disconnect);
	mosquitto_subscribe_v5_callback_set(s->mosq, on_subscribe);
	mosquitto_publish_v5_callback_set(s->mosq, on_publish);
	mosquitto_message_v5_callback_set(s->mosq, on_message);
	if (mosquitto_username_pw_set(s->mosq, c->user, c->password) != MOSQ_ERR_SUCCESS) {
		error("cannot use the credentials");
		return false;
	}
	return true;
}

int session_open(session *s, const broker_address *a, const credentials *c)
{
	s->connack = -1;
	s->deadline_ms = now_ms() + SESSION_SECONDS * 1000;
	snprintf(s->where, sizeof s->where, strchr(a->host, ':') ? "[%s]:%d" : "%s:%d", a->host, a->port);
	mosquitto_lib_init();
	if (!make_client(s, c))
		return STATUS_ERROR;
	// Connected without blocking: the deadline bounds the TCP connection too.
	errno = 0;
	const int rc = mosquitto_connect_async(s->mosq, a->host, a->port, KEEPALIVE);

	if (rc != MOSQ_ERR_SUCCESS) {
		error("cannot connect to %s: %s", s->where, rc == MOSQ_ERR_EAI ? "unknown host" : cause(rc));
		return STATUS_ERROR;
	}
	if (session_run(s, &s->answered) != STATUS_OK)
		return STATUS_ERROR;
	if (s->connack != 0) {
		error("%s: the broker refused the connection: %s (0x%02X)", s->where,
		      mosquitto_reason_string(s->connack), s->connack);
		return STATUS_ERROR;
	}
	return STATUS_OK;
}

int session_subscribe(session *s, const char *const *filters, int n)
{
	s->subscribed = false;
	const int rc = mosquitto_subscribe_multiple(s->mosq, &s->sub_mid, n, (char *const *)filters, 0, 0, nullptr);

	if (rc != MOSQ_ERR_SUCCESS)
		return broken(s, rc);
	if (session_run(s, &s->subscribed) != STATUS_OK)
		return STATUS_ERROR;
	for (int i = 0; i < n; i++) {
		const int code = i < s->sub_count ? s->sub_codes[i] : MQTT_RC_UNSPECIFIED;

		if (code >= 0x80) {
			error("%s: the broker refused the subscription: %s (0x%02X)", filters[i],
			      mosquitto_reason_string(code), code);
			return STATUS_REFUSED;
		}
	}
	return STATUS_OK;
}

int session_publish(session *s, const char *topic, const void *payload, int len, bool retain)
{
	s->published = false;
	const int rc = mosquitto_publish_v5(s->mosq, &s->pub_mid, topic, len, payload, 1, retain, nullptr);

	if (rc != MOSQ_ERR_SUCCESS)
		return broken(s, rc);
	if (session_run(s, &s->published) != STATUS_OK)
		return STATUS_ERROR;
	if (s->pub_reason >= 0x80) {
		error("%s: the broker refused the message: %s (0x%02X)", topic,
		      mosquitto_reason_string(s->pub_reason), s->pub_reason);
		return STATUS_REFUSED;
	}
	return STATUS_OK;
}

void session_close(session *s)
{
	if (s->mosq) {
		// The DISCONNECT sent, quietly: what was asked for is done.
		if (s->connack == 0 && !s->lost && mosquitto_disconnect(s->mosq) == MOSQ_ERR_SUCCESS)
			while (!s->lost && now_ms() < s->deadline_ms &&
			       mosquitto_loop(s->mosq, 100, 1) == MOSQ_ERR_SUCCESS) {
			}
		mosquitto_destroy(s->mosq);
		s->mosq = nullptr;
	}
	mosquitto_lib_cleanup();
}

// SPDX-License-Identifier: MIT
// One MQTT v5 session with the broker through libmosquitto, bounded in
// time as a whole: connecting, subscribing, publishing at QoS 1 and
// waiting for what the broker answers.
#ifndef VEMRA_FLEET_SESSION_H
#define VEMRA_FLEET_SESSION_H

#include <cstdint>

#include "credentials.h"

struct mosquitto;
struct mosquitto_message;

// The whole session, from the connection to the last answer, ends within
// this many seconds.
constexpr int SESSION_SECONDS = 10;

struct broker_address {
	char host[256];
	int port;
};

// HOST, HOST:PORT or [IPV6]:PORT; the port 1883 unless given. False on
// anything else.
bool broker_parse(const char *s, broker_address *a);

struct session {
	mosquitto *mosq;
	char where[300];         // HOST:PORT, for messages
	char client_id[64];      // vemra-fleet-PID-RANDOM
	int64_t deadline_ms;     // on the monotonic clock
	bool answered;           // the CONNACK came
	int connack;             // its reason code, -1 before it
	bool lost;               // the connection ended
	int disconnect_reason;   // the broker's DISCONNECT reason code, or 0
	int sub_mid;             // the SUBSCRIBE waited for, its SUBACK's codes
	bool subscribed;
	int sub_count;
	int sub_codes[4];
	int pub_mid;             // the PUBLISH waited for, its PUBACK's code
	bool published;
	int pub_reason;
	// Each message received, with user for the command's own data.
	void (*on_message)(session *s, const mosquitto_message *m);
	void *user;
};

// Connects (MQTT v5, a clean start, the credentials) and waits for the
// CONNACK. STATUS_OK, or STATUS_ERROR having said why; session_close in
// both cases.
int session_open(session *s, const broker_address *a, const credentials *c);
// Runs the network until *done: STATUS_OK, or STATUS_ERROR having said why
// (the connection lost, the time up).
int session_run(session *s, const bool *done);
// Subscribes to the n <= 4 filters in one SUBSCRIBE and waits for its
// SUBACK: STATUS_OK, STATUS_REFUSED when the broker refused a filter
// (said, with its reason), or STATUS_ERROR. At QoS 0: a broker sends the
// retained messages of a QoS 0 subscription at once, over the connection
// that TCP keeps whole, where mosquitto holds those of a QoS 1 one past
// its window of 20 in a queue, and drops them past 1000
// (max_queued_messages): a fleet's list would lose boards.
int session_subscribe(session *s, const char *const *filters, int n);
// Publishes at QoS 1 and waits for the PUBACK: STATUS_OK, STATUS_REFUSED
// when its reason code is 0x80 or more (said, naming the topic and the
// reason), or STATUS_ERROR.
int session_publish(session *s, const char *topic, const void *payload, int len, bool retain);
// Disconnects, if connected, and frees the session.
void session_close(session *s);

#endif

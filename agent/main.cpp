// SPDX-License-Identifier: MIT
// vemra-agent: the board's side of a fleet. It keeps the board's state
// (vemra-boot status -p) retained on an MQTT broker and installs, for a
// trial, the updates announced for its group.
#include "announce.h"
#include "board_config.h"
#include "config.h"
#include "fleet_words.h"
#include "run.h"
#include "state.h"

#include <cerrno>
#include <cstdarg>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

static const char HELP[] =
	"Usage: vemra-agent [-c FILE]\n"
	"       vemra-agent --help | --version\n"
	"\n"
	"Keeps this board's state (vemra-boot status -p) retained on an MQTT broker,\n"
	"at vemra/BOARD/ID/state, and installs the updates announced at\n"
	"vemra/BOARD/GROUP/update for a trial, then reboots the board.\n"
	"\n"
	"  -c FILE   the configuration (default " BOARD_AGENT_CONFIG "): key=value lines,\n"
	"            broker=HOST[:PORT] and group= needed; id=, user=, password=,\n"
	"            board=, keepalive=, vemra_boot=, reboot= (docs/board-guide.md)\n"
	"\n"
	"Until FILE exists the agent waits for it, looking every 5 s.\n"
	"\n"
	"Exit status: 0 stopped by SIGTERM or SIGINT, 2 usage or configuration error.\n";

constexpr int BACKOFF_FIRST = 2, BACKOFF_MAX = 60; // seconds between connection attempts
constexpr int READY_POLL = 2, READY_WAIT = 120;    // the launcher's hand-over awaited
constexpr int ACK_WAIT = 5;                        // a last state before the reboot
constexpr size_t STATUS_OUT = 8192;
constexpr unsigned CONFIG_POLL = 5; // seconds between looks for a missing configuration

// JOB_REBOOT: installed; no other announcement is taken from there on.
enum job_step { JOB_NONE, JOB_SIGNATURE, JOB_IMAGE, JOB_REBOOT };

struct agent {
	agent_config cfg;
	char board[NAME_SIZE];
	char state_topic[3 * NAME_SIZE + 16], update_topic[3 * NAME_SIZE + 16];
	struct mosquitto *mosq;
	bool connected, socket_open, ever_tried, ready;
	long next_try, ready_deadline, next_ready_poll;
	int backoff;
	agent_status status;
	agent_report report;
	char *acked; // the state last acknowledged, without its time
	char *sent;  // the one in flight
	int sent_mid;
	char last_payload[FLEET_ANNOUNCE_MAX + 1]; // the announcement last seen
	size_t last_len;
	bool have_last, have_pending; // pending: last_payload waits for its turn
	job_step job;
	announcement ann;
	char dir[64];
	child kids[2]; // wget, then wget and vemra-boot
	int inotify_fd;
	const char *lock_name;
};

static volatile sig_atomic_t stop_signal;

static void on_stop(int sig)
{
	stop_signal = sig;
}

static long now_s()
{
	struct timespec t;

	clock_gettime(CLOCK_MONOTONIC, &t);
	return (long)t.tv_sec;
}

__attribute__((format(printf, 1, 2))) static void say(const char *format, ...)
{
	va_list ap;

	fputs("vemra-agent: ", stderr);
	va_start(ap, format);
	vfprintf(stderr, format, ap);
	va_end(ap);
	fputc('\n', stderr);
}

static void set_line(char *dst, const char *src)
{
	snprintf(dst, LINE_SIZE, "%s", src);
}

/* The state */

static void refresh_status(agent *a)
{
	const char *const argv[] = { a->cfg.vemra_boot, "status", "-p", NULL };
	static char out[STATUS_OUT];
	child c;
	const int rc = run_capture(&c, argv, out, sizeof out);

	status_parse(out, &a->status);
	if (rc != 0) {
		if (!c.last[0])
			snprintf(c.last, sizeof c.last, "vemra-boot status -p: exit status %d", rc);
		set_line(a->report.error, c.last);
	}
}

static char *make_state(const agent *a, int64_t time)
{
	const state_names n = { a->cfg.id, a->board, a->cfg.group };

	return state_json(&n, &a->status, &a->report, time);
}

static bool same(const char *x, const char *y)
{
	return x && y && strcmp(x, y) == 0;
}

// Published when connected and ready, unless the broker has it already
// (force: on a new connection, whose broker may have lost it).
static void publish_state(agent *a, bool force)
{
	char *bare, *text;
	int mid = 0;

	if (!a->connected || !a->ready)
		return;
	bare = make_state(a, 0);
	if (!bare || (!force && (same(bare, a->acked) || same(bare, a->sent)))) {
		free(bare);
		return;
	}
	text = make_state(a, (int64_t)time(NULL));
	if (text && mosquitto_publish_v5(a->mosq, &mid, a->state_topic, (int)strlen(text), text, 1, true,
					 NULL) == MOSQ_ERR_SUCCESS) {
		free(a->sent);
		a->sent = bare;
		a->sent_mid = mid;
		bare = NULL;
	}
	free(bare);
	free(text);
}

/* MQTT callbacks */

static void on_connect(struct mosquitto *m, void *obj, int rc, int, const mosquitto_property *)
{
	agent *a = (agent *)obj;

	if (rc != 0) {
		say("the broker refused the connection: %s", mosquitto_reason_string(rc));
		return;
	}
	a->connected = true;
	a->backoff = BACKOFF_FIRST;
	mosquitto_subscribe_v5(m, NULL, a->update_topic, 1, 0, NULL);
	if (a->ready) {
		refresh_status(a);
		publish_state(a, true);
	}
}

static void on_disconnect(struct mosquitto *, void *obj, int, const mosquitto_property *)
{
	agent *a = (agent *)obj;

	a->connected = false;
	a->sent_mid = 0;
	free(a->sent);
	a->sent = NULL;
}

static void on_publish(struct mosquitto *, void *obj, int mid, int rc, const mosquitto_property *)
{
	agent *a = (agent *)obj;

	if (mid != a->sent_mid)
		return;
	a->sent_mid = 0;
	if (rc >= 0x80) {
		say("the broker refused the state on %s: %s", a->state_topic, mosquitto_reason_string(rc));
	} else {
		free(a->acked);
		a->acked = a->sent;
		a->sent = NULL;
	}
}

static void on_subscribe(struct mosquitto *, void *obj, int, int count, const int *granted,
			 const mosquitto_property *)
{
	const agent *a = (const agent *)obj;

	if (count >= 1 && granted[0] >= 0x80)
		say("the broker refused the subscription to %s: %s", a->update_topic,
		    mosquitto_reason_string(granted[0]));
}

/* Installing */

static void report_step(agent *a, update_step step, const char *detail, bool error)
{
	a->report.step = step;
	set_line(a->report.detail, detail);
	if (error)
		set_line(a->report.error, detail);
	publish_state(a, false);
}

static void remove_dir(agent *a)
{
	char path[sizeof a->dir + 32];

	if (!a->dir[0])
		return;
	snprintf(path, sizeof path, "%s/update.minisig", a->dir);
	unlink(path);
	rmdir(a->dir);
	a->dir[0] = '\0';
}

// The state published and acknowledged (a few seconds at most), then
// the reboot command.
static void reboot_board(agent *a)
{
	const char *const argv[] = { a->cfg.reboot, NULL };
	const long end = now_s() + ACK_WAIT;
	child c;

	while (a->connected && a->sent_mid != 0 && now_s() < end && !stop_signal) {
		struct pollfd p = { mosquitto_socket(a->mosq), POLLIN, 0 };

		if (mosquitto_want_write(a->mosq))
			p.events |= POLLOUT;
		poll(&p, 1, 200);
		mosquitto_loop_read(a->mosq, 1);
		mosquitto_loop_write(a->mosq, 1);
		mosquitto_loop_misc(a->mosq);
	}
	if (child_start(&c, argv, -1, -1))
		child_finish(&c);
	else
		c.status = 127;
	a->job = JOB_NONE;
	if (c.status != 0) {
		if (!c.last[0])
			snprintf(c.last, sizeof c.last, "%.200s: exit status %d", a->cfg.reboot, c.status);
		set_line(a->report.error, c.last);
		refresh_status(a);
		publish_state(a, false);
	}
}

static void take_pending(agent *a);

static void finish_install(agent *a, update_step step, const char *line)
{
	a->job = step == STEP_REBOOTING ? JOB_REBOOT : JOB_NONE;
	remove_dir(a);
	refresh_status(a);
	report_step(a, step, line, step == STEP_REFUSED || step == STEP_FAILED);
	if (step == STEP_REBOOTING)
		reboot_board(a);
	take_pending(a);
}

static void start_install(agent *a)
{
	char sig[sizeof a->dir + 32], url[FLEET_URL_MAX + 16];
	const char *const argv[] = { "wget", "-q", "-O", sig, url, NULL };

	report_step(a, STEP_INSTALLING, "pulling the signature and the image", false);
	snprintf(a->dir, sizeof a->dir, "/tmp/vemra-agent.XXXXXX");
	if (!mkdtemp(a->dir)) {
		char line[LINE_SIZE];

		snprintf(line, sizeof line, "cannot make a folder in /tmp: %s", strerror(errno));
		a->dir[0] = '\0';
		return finish_install(a, STEP_FAILED, line);
	}
	snprintf(sig, sizeof sig, "%s/update.minisig", a->dir);
	snprintf(url, sizeof url, "%s.minisig", a->ann.url);
	a->job = JOB_SIGNATURE;
	if (!child_start(&a->kids[0], argv, -1, -1))
		finish_install(a, STEP_FAILED, a->kids[0].last);
}

// wget -q -O - URL | vemra-boot install - --trial --signature SIG
static void start_image(agent *a)
{
	char sig[sizeof a->dir + 32];
	const char *const get[] = { "wget", "-q", "-O", "-", a->ann.url, NULL };
	const char *const install[] = { a->cfg.vemra_boot, "install", "-", "--trial", "--signature", sig, NULL };
	int p[2];

	snprintf(sig, sizeof sig, "%s/update.minisig", a->dir);
	if (pipe2(p, O_CLOEXEC) != 0)
		return finish_install(a, STEP_FAILED, strerror(errno));
	a->job = JOB_IMAGE;
	const bool got = child_start(&a->kids[0], get, -1, p[1]);
	const bool installing = got && child_start(&a->kids[1], install, p[0], -1);
	close(p[0]);
	close(p[1]);
	if (!installing) {
		if (got) {
			kill(a->kids[0].pid, SIGTERM);
			child_finish(&a->kids[0]);
		}
		finish_install(a, STEP_FAILED, got ? a->kids[1].last : a->kids[0].last);
	}
}

static const char *line_or(child *c, const char *what, char *buf, size_t size)
{
	if (c->last[0])
		return c->last;
	snprintf(buf, size, "%s: exit status %d", what, c->status);
	return buf;
}

// Both programs have ended: vemra-boot's status decides, but a wget
// that failed on its own (not for the pipe vemra-boot closed on a
// refusal) is a failure.
static void image_done(agent *a)
{
	child *get = &a->kids[0], *install = &a->kids[1];
	char buf[LINE_SIZE];
	const bool get_failed = get->status != 0 && get->status != 128 + SIGPIPE;

	if (install->status == 0)
		finish_install(a, STEP_REBOOTING, "installed for a trial: rebooting");
	else if (install->status == 1 && !get_failed)
		finish_install(a, STEP_REFUSED, line_or(install, "vemra-boot install", buf, sizeof buf));
	else if (get_failed)
		finish_install(a, STEP_FAILED, line_or(get, "wget", buf, sizeof buf));
	else
		finish_install(a, STEP_FAILED, line_or(install, "vemra-boot install", buf, sizeof buf));
}

static void job_read(agent *a)
{
	char buf[LINE_SIZE];

	if (a->job == JOB_SIGNATURE && child_read(&a->kids[0])) {
		if (a->kids[0].status != 0)
			finish_install(a, STEP_FAILED, line_or(&a->kids[0], "wget", buf, sizeof buf));
		else
			start_image(a);
	} else if (a->job == JOB_IMAGE) {
		const bool done0 = child_read(&a->kids[0]);
		const bool done1 = child_read(&a->kids[1]);

		if (done0 && done1)
			image_done(a);
	}
}

/* Announcements */

static void act_on(agent *a, const char *payload, size_t len)
{
	char line[LINE_SIZE];

	if (!announce_parse(payload, len, &a->ann, line, sizeof line)) {
		a->report.version[0] = a->report.url[0] = '\0';
		return report_step(a, STEP_REFUSED, line, true);
	}
	snprintf(a->report.version, sizeof a->report.version, "%s", a->ann.version);
	snprintf(a->report.url, sizeof a->report.url, "%s", a->ann.url);
	refresh_status(a);
	if (!announce_wanted(&a->status, &a->ann, line, sizeof line))
		return report_step(a, STEP_SKIPPED, line, false);
	start_install(a);
}

static void take_pending(agent *a)
{
	if (a->have_pending && a->ready && a->job == JOB_NONE) {
		a->have_pending = false;
		act_on(a, a->last_payload, a->last_len);
	}
}

static void on_message(struct mosquitto *, void *obj, const struct mosquitto_message *m,
		       const mosquitto_property *)
{
	agent *a = (agent *)obj;
	const size_t len = m->payloadlen > 0 ? (size_t)m->payloadlen : 0;

	if (strcmp(m->topic, a->update_topic) != 0)
		return;
	if (len == 0) { // withdrawn
		a->have_last = a->have_pending = false;
		return;
	}
	// A payload seen already (delivered again on a new connection) is
	// not acted on again. One too long is kept in part, its length whole.
	const size_t kept = len < sizeof a->last_payload ? len : sizeof a->last_payload;
	if (a->have_last && len == a->last_len && memcmp(m->payload, a->last_payload, kept) == 0)
		return;
	memcpy(a->last_payload, m->payload, kept);
	a->last_len = len;
	a->have_last = a->have_pending = true;
	take_pending(a);
}

/* The loop */

// The lock's folder watched: every writing vemra-boot command opens the
// lock read-write and closes it when it ends.
static void watch_lock(agent *a)
{
	static char dir[sizeof BOARD_LOCK_FILE];
	char *slash;

	strcpy(dir, BOARD_LOCK_FILE);
	slash = strrchr(dir, '/');
	*slash = '\0';
	a->lock_name = slash + 1;
	a->inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
	if (a->inotify_fd >= 0 && inotify_add_watch(a->inotify_fd, dir[0] ? dir : "/", IN_CLOSE_WRITE) >= 0)
		return;
	say("cannot watch %s (%s): the state follows vemra-boot's commands only on reconnects", dir,
	    strerror(errno));
	if (a->inotify_fd >= 0)
		close(a->inotify_fd);
	a->inotify_fd = -1;
}

static void lock_events(agent *a)
{
	alignas(struct inotify_event) char buf[4096];
	bool ended = false;
	ssize_t n;

	while ((n = read(a->inotify_fd, buf, sizeof buf)) > 0)
		for (char *p = buf; p < buf + n; p += sizeof(struct inotify_event) + ((struct inotify_event *)p)->len) {
			const struct inotify_event *e = (const struct inotify_event *)p;

			if (e->len && strcmp(e->name, a->lock_name) == 0)
				ended = true;
		}
	if (ended) {
		refresh_status(a);
		publish_state(a, false);
	}
}

// Until the launcher has handed over (VPD byte 58 1 or 2), or for
// READY_WAIT seconds, the state is not yet the board's.
static void check_ready(agent *a, long now)
{
	if (a->ready || now < a->next_ready_poll)
		return;
	refresh_status(a);
	a->next_ready_poll = now + READY_POLL;
	if (a->status.booted == 0 && now < a->ready_deadline)
		return;
	a->ready = true;
	publish_state(a, true);
	take_pending(a);
}

// A connection attempt when due: every BACKOFF_FIRST seconds at first,
// twice as long after each failure, up to BACKOFF_MAX.
static void keep_connected(agent *a, long now)
{
	int rc;

	if (mosquitto_socket(a->mosq) >= 0)
		return;
	if (a->socket_open) {
		a->socket_open = false;
		a->next_try = now + a->backoff;
		a->backoff = a->backoff * 2 > BACKOFF_MAX ? BACKOFF_MAX : a->backoff * 2;
	}
	if (now < a->next_try)
		return;
	rc = a->ever_tried ? mosquitto_reconnect_async(a->mosq)
			   : mosquitto_connect_bind_async(a->mosq, a->cfg.host, a->cfg.port, a->cfg.keepalive, NULL);
	a->ever_tried = true;
	if (rc == MOSQ_ERR_SUCCESS) {
		a->socket_open = true;
		return;
	}
	say("%s:%d: %s", a->cfg.host, a->cfg.port, rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc));
	a->next_try = now + a->backoff;
	a->backoff = a->backoff * 2 > BACKOFF_MAX ? BACKOFF_MAX : a->backoff * 2;
}

// One wait for whatever comes first: the broker's socket, the lock's
// folder, a running program's standard error, a signal, or a second.
// The agent has a single thread: libmosquitto's own loop (mosquitto_loop)
// waits on its socket alone, so the wait is poll() here, over every
// descriptor, and libmosquitto is handed the socket's events through
// mosquitto_loop_read/write and its keepalive through
// mosquitto_loop_misc, at least once a second. A signal arrives only
// inside ppoll(), so none is lost between a check and the wait.
static void wait_once(agent *a, const sigset_t *during)
{
	struct pollfd p[4];
	const int sock = mosquitto_socket(a->mosq);
	const struct timespec second = { 1, 0 };
	int n = 0, kid_base;

	p[n++] = { sock, (short)(POLLIN | (mosquitto_want_write(a->mosq) ? POLLOUT : 0)), 0 };
	p[n++] = { a->inotify_fd, POLLIN, 0 };
	kid_base = n;
	for (const child &c : a->kids)
		p[n++] = { a->job != JOB_NONE && c.pid ? c.err_fd : -1, POLLIN, 0 };
	if (ppoll(p, (nfds_t)n, &second, during) < 0)
		return;
	if (sock >= 0 && (p[0].revents & (POLLIN | POLLERR | POLLHUP)))
		mosquitto_loop_read(a->mosq, 1);
	if (mosquitto_socket(a->mosq) >= 0 && (p[0].revents & POLLOUT))
		mosquitto_loop_write(a->mosq, 1);
	if (mosquitto_socket(a->mosq) >= 0)
		mosquitto_loop_misc(a->mosq);
	if (p[1].revents)
		lock_events(a);
	if (p[kid_base].revents || p[kid_base + 1].revents)
		job_read(a);
}

// Programs still running at a stop are stopped with it.
static void stop_job(agent *a)
{
	for (child &c : a->kids)
		if (a->job != JOB_NONE && c.pid) {
			kill(c.pid, SIGTERM);
			child_finish(&c);
		}
	remove_dir(a);
}

static int run(agent *a)
{
	sigset_t blocked, during;
	struct sigaction sa;

	memset(&sa, 0, sizeof sa);
	sa.sa_handler = on_stop;
	sigaction(SIGTERM, &sa, NULL);
	sigaction(SIGINT, &sa, NULL);
	signal(SIGPIPE, SIG_IGN);
	sigemptyset(&blocked);
	sigaddset(&blocked, SIGTERM);
	sigaddset(&blocked, SIGINT);
	sigprocmask(SIG_BLOCK, &blocked, &during);
	sigdelset(&during, SIGTERM);
	sigdelset(&during, SIGINT);

	watch_lock(a);
	a->ready_deadline = now_s() + READY_WAIT;
	while (!stop_signal) {
		const long now = now_s();

		check_ready(a, now);
		keep_connected(a, now);
		wait_once(a, &during);
	}
	stop_job(a);
	if (a->connected) {
		mosquitto_disconnect_v5(a->mosq, 0, NULL);
		mosquitto_loop_write(a->mosq, 1);
	}
	return 0;
}

/* Start */

// The board's string: status -p's, else the configuration's.
static bool pick_board(agent *a, const char *config, char *err, size_t size)
{
	const char *b = a->status.board;

	if (!b[0] || strcmp(b, "unreadable") == 0)
		b = a->cfg.board;
	if (!b[0])
		return snprintf(err, size, "no board's string: %s status -p gives no board=, and %s no board=",
				a->cfg.vemra_boot, config), false;
	if (!fleet_name_valid(b))
		return snprintf(err, size, "the board's string '%s' is not 1 to 63 characters of A-Z a-z 0-9 . _ -: set board= in %s",
				b, config), false;
	snprintf(a->board, sizeof a->board, "%s", b);
	snprintf(a->state_topic, sizeof a->state_topic, "vemra/%s/%s/state", a->board, a->cfg.id);
	snprintf(a->update_topic, sizeof a->update_topic, "vemra/%s/%s/update", a->board, a->cfg.group);
	return true;
}

static bool setup_mqtt(agent *a, char *err, size_t size)
{
	char client[NAME_SIZE + 16];

	snprintf(client, sizeof client, "vemra-agent-%s", a->cfg.id);
	mosquitto_lib_init();
	a->mosq = mosquitto_new(client, true, a);
	if (!a->mosq || mosquitto_int_option(a->mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5) ||
	    mosquitto_username_pw_set(a->mosq, a->cfg.user, a->cfg.password[0] ? a->cfg.password : NULL))
		return snprintf(err, size, "cannot set up the MQTT client: %s", strerror(errno)), false;
	mosquitto_connect_v5_callback_set(a->mosq, on_connect);
	mosquitto_disconnect_v5_callback_set(a->mosq, on_disconnect);
	mosquitto_publish_v5_callback_set(a->mosq, on_publish);
	mosquitto_subscribe_v5_callback_set(a->mosq, on_subscribe);
	mosquitto_message_v5_callback_set(a->mosq, on_message);
	return true;
}

static int usage(const char *why)
{
	fprintf(stderr, "vemra-agent: %s (vemra-agent --help)\n", why);
	return 2;
}

int main(int argc, char **argv)
{
	static agent a;
	const char *config = BOARD_AGENT_CONFIG;
	char err[LINE_SIZE + 128];

	if (argc == 2 && strcmp(argv[1], "--help") == 0)
		return fputs(HELP, stdout) < 0 || fflush(stdout) ? 2 : 0;
	if (argc == 2 && strcmp(argv[1], "--version") == 0)
		return puts("vemra-agent " VEMRA_VERSION) < 0 || fflush(stdout) ? 2 : 0;
	if (argc == 3 && strcmp(argv[1], "-c") == 0)
		config = argv[2];
	else if (argc == 2 && strcmp(argv[1], "-c") == 0)
		return usage("-c needs a FILE");
	else if (argc != 1) {
		const bool known = strcmp(argv[1], "-c") == 0 || strcmp(argv[1], "--help") == 0 ||
				   strcmp(argv[1], "--version") == 0;
		const char *bad = known ? argv[argc - 1] : argv[1];

		snprintf(err, sizeof err, "%s '%s'", bad[0] == '-' ? "unknown option" : "unexpected argument", bad);
		return usage(err);
	}
	a.backoff = BACKOFF_FIRST;
	// A board not given its settings yet runs no session, and keeps
	// quiet: init starts the agent again whenever it ends, so it waits
	// for the file instead.
	while (access(config, F_OK) != 0 && errno == ENOENT)
		sleep(CONFIG_POLL);
	if (!config_load(config, &a.cfg, err, sizeof err)) {
		fprintf(stderr, "vemra-agent: %s\n", err);
		return 2;
	}
	refresh_status(&a);
	if (!pick_board(&a, config, err, sizeof err) || !setup_mqtt(&a, err, sizeof err)) {
		fprintf(stderr, "vemra-agent: %s\n", err);
		return 2;
	}
	return run(&a);
}

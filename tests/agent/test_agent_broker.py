#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# vemra-agent against Debian's mosquitto broker, run as a plain process
# on 127.0.0.1 with a password file and the fleet's ACL, and a web server
# for the update. A stand-in vemra-boot (vemra_boot= in the configuration)
# prints a board's status -p and records how install is run; a stand-in
# reboot records that it ran.
#
# usage: test_agent_broker.py VERSION PATH-TO-vemra-agent
import functools
import http.server
import json
import os
import pathlib
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

AGENT = None
VERSION = None
LOCK = "/run/vemra-boot.lock"

STAND_IN = r"""#!/bin/sh
# vemra-boot stand-in: status -p from $D/status, install recorded.
D=%(dir)s
case "$1" in
status) cat "$D/status"; exit 0 ;;
install)
	printf '%%s\n' "$@" >"$D/install.argv"
	cp "$5" "$D/install.sig" 2>/dev/null
	cat >"$D/install.image"
	echo "-: version 2.0 is older than this board's floor 3.0 (--allow-downgrade installs it)" >&2
	exit "$(cat "$D/install.status")" ;;
esac
exit 2
"""

STATUS = ("selected=1\nbooted=1\nimage1=valid\nimage1_length=10\nimage1_crc=0x00000001\n"
          "image1_signature=matches\nimage1_version=1.0\nimage2=missing\nrescue=missing\n"
          "signature_keys=1\nboard=vboard\nfloor=1.0\n")


class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(check, what, seconds=30):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        v = check()
        if v:
            return v
        time.sleep(0.1)
    raise AssertionError("never came: " + what)


class Broker(unittest.TestCase):
    def setUp(self):
        self.dir = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory()))
        os.chmod(self.dir, 0o755)
        d = self.dir
        self.port = free_port()
        subprocess.run(["mosquitto_passwd", "-c", "-b", d / "passwd", "operator", "op"], check=True)
        subprocess.run(["mosquitto_passwd", "-b", d / "passwd", "b1", "s3cret"], check=True)
        (d / "acl").write_text("user operator\ntopic readwrite vemra/#\n\nuser b1\n"
                               "topic write vemra/vboard/b1/state\ntopic read vemra/vboard/lab/update\n")
        conf = (f"listener {self.port} 127.0.0.1\nallow_anonymous false\npassword_file {d}/passwd\n"
                f"acl_file {d}/acl\npersistence true\npersistence_location {d}/\n")
        if os.geteuid() == 0:
            conf += "user root\n"
        (d / "mosquitto.conf").write_text(conf)
        self.start_broker()

        web = self.dir / "web"
        web.mkdir()
        (web / "update.img").write_bytes(b"IMAGE" * 1000)
        (web / "update.img.minisig").write_text("untrusted comment: a signature\n")
        handler = functools.partial(Quiet, directory=web)
        self.web = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=self.web.serve_forever, daemon=True).start()
        self.addCleanup(self.web.server_close)
        self.addCleanup(self.web.shutdown)

        (d / "status").write_text(STATUS)
        (d / "install.status").write_text("0\n")
        (d / "vemra-boot").write_text(STAND_IN % {"dir": d})
        (d / "reboot").write_text(f"#!/bin/sh\ntouch {d}/rebooted\n")
        for f in ("vemra-boot", "reboot"):
            os.chmod(d / f, 0o755)
        (d / "agent.conf").write_text(f"# the test's board\nbroker=127.0.0.1:{self.port}\ngroup=lab\nid=b1\n"
                                      f"password=s3cret\nvemra_boot={d}/vemra-boot\nreboot={d}/reboot\n")
        os.chmod(d / "agent.conf", 0o600)

    def start_broker(self):
        self.broker = subprocess.Popen(["mosquitto", "-c", self.dir / "mosquitto.conf"],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(self.broker.wait)
        self.addCleanup(self.broker.kill)
        wait_for(self.broker_up, "the broker")

    def broker_up(self):
        r = subprocess.run(["mosquitto_pub", "-p", str(self.port), "-u", "operator", "-P", "op",
                            "-t", "vemra/probe", "-m", "x"], capture_output=True)
        return r.returncode == 0

    def start_agent(self):
        log = self.enterContext(open(self.dir / "agent.log", "w"))
        agent = subprocess.Popen([AGENT, "-c", self.dir / "agent.conf"], stderr=log)
        self.addCleanup(agent.wait)
        self.addCleanup(agent.kill)
        return agent

    def state(self):
        # The retained state: the last one the broker holds.
        r = subprocess.run(["mosquitto_sub", "-V", "mqttv5", "-p", str(self.port), "-u", "operator", "-P", "op",
                            "-t", "vemra/vboard/b1/state", "-C", "1", "-W", "2", "--retained-only"],
                           capture_output=True, text=True)
        return json.loads(r.stdout) if r.returncode == 0 and r.stdout else None

    def announce(self, payload, retain=True):
        subprocess.run(["mosquitto_pub", "-V", "mqttv5", "-p", str(self.port), "-u", "operator", "-P", "op",
                        "-t", "vemra/vboard/lab/update", "-q", "1", "-m", payload] + ["-r"] * retain, check=True)

    def test_state_install_and_stop(self):
        agent = self.start_agent()
        s = wait_for(self.state, "the first state")
        self.assertEqual([s[k] for k in ("id", "board", "group", "agent", "running", "selected")],
                         ["b1", "vboard", "lab", VERSION, 1, 1])
        self.assertEqual(s["images"], [{"slot": 1, "state": "valid", "version": "1.0", "signature": "matches"},
                                       {"slot": 2, "state": "missing", "version": None, "signature": None}])
        self.assertEqual([s["floor"], s["trial"], s["rollback"], s["update"], s["error"]],
                         ["1.0", None, None, None, None])

        # A writing vemra-boot command ends (the lock closed): a new state.
        if os.access(os.path.dirname(LOCK), os.W_OK):
            (self.dir / "status").write_text(STATUS + "trial=2\ntrial_boots=3\ntrial_used=0\nrollback=2\nrollback_to=1\n")
            open(LOCK, "a").close()
            s = wait_for(lambda: (self.state() or {}).get("trial"), "the state after the lock")
            self.assertEqual(s, {"image": 2, "boots": 3, "used": 0})
            (self.dir / "status").write_text(STATUS)
            open(LOCK, "a").close()
            wait_for(lambda: (self.state() or {"trial": 1})["trial"] is None, "the trial's end")

        url = f"http://127.0.0.1:{self.web.server_port}/update.img"
        self.announce(json.dumps({"url": url, "version": "2.0"}))
        wait_for(lambda: (self.dir / "rebooted").exists(), "the reboot")
        argv = (self.dir / "install.argv").read_text().split("\n")
        self.assertEqual(argv[:5], ["install", "-", "--trial", "--signature", argv[4]])
        self.assertRegex(argv[4], r"^/tmp/[^/]+/update\.minisig$")
        self.assertFalse(os.path.exists(os.path.dirname(argv[4])), "the folder is removed")
        self.assertEqual((self.dir / "install.sig").read_text(), "untrusted comment: a signature\n")
        self.assertEqual((self.dir / "install.image").read_bytes(), b"IMAGE" * 1000)
        s = self.state()
        self.assertEqual(s["update"]["step"], "rebooting")
        self.assertEqual([s["update"]["version"], s["update"]["url"], s["error"]], ["2.0", url, None])

        # Refused by vemra-boot (1): its line is the detail and the error.
        os.unlink(self.dir / "rebooted")
        (self.dir / "install.status").write_text("1\n")
        self.announce(json.dumps({"url": url, "version": "2.1"}))
        line = "-: version 2.0 is older than this board's floor 3.0 (--allow-downgrade installs it)"
        s = wait_for(lambda: (st := self.state()) and st["update"]["step"] == "refused" and st, "the refusal")
        self.assertEqual([s["update"]["version"], s["update"]["detail"], s["error"]], ["2.1", line, line])
        self.assertFalse((self.dir / "rebooted").exists())

        # The broker restarted with its retained messages: 2.1, delivered
        # again, is not run again. Then 1.0, not newer than the running
        # 1.0 (sent until the agent, subscribed again, takes it): skipped.
        os.unlink(self.dir / "install.argv")
        self.broker.terminate()
        self.broker.wait()
        self.start_broker()
        wait_for(lambda: self.announce(json.dumps({"url": url, "version": "1.0"}), retain=False) or
                 (st := self.state()) and st["update"]["step"] == "skipped", "the skip")
        self.assertFalse((self.dir / "install.argv").exists())

        # Nothing at the URL: wget fails, so does the update; nothing installed.
        self.announce(json.dumps({"url": url + ".gone", "version": "2.2"}))
        s = wait_for(lambda: (st := self.state()) and st["update"]["step"] == "failed" and st, "the failure")
        self.assertEqual([s["update"]["version"], s["error"]], ["2.2", s["update"]["detail"]])
        self.assertIn("wget", s["error"])
        self.assertFalse((self.dir / "install.argv").exists())

        # The signature there, the image not: wget's failure, not
        # vemra-boot's refusal of the empty image, is the update's end.
        (self.dir / "web/half.img.minisig").write_text("untrusted comment: a signature\n")
        self.announce(json.dumps({"url": url.replace("update", "half"), "version": "2.3"}))
        s = wait_for(lambda: (st := self.state()) and st["update"]["version"] == "2.3" and
                     st["update"]["step"] != "installing" and st, "the half")
        self.assertEqual([s["update"]["step"], s["error"]], ["failed", s["update"]["detail"]])
        self.assertIn("wget", s["error"])
        self.assertEqual((self.dir / "install.image").read_bytes(), b"")
        os.unlink(self.dir / "install.argv")

        # Malformed: refused by the agent, nothing run.
        self.announce('{"url": "ftp://x/u.img", "version": "2.0"}')
        s = wait_for(lambda: (st := self.state()) and st["update"]["step"] == "refused" and st, "the bad one")
        self.assertEqual([s["update"]["version"], s["update"]["url"]], [None, None])
        self.assertTrue(s["error"].startswith("announcement refused: "), s["error"])
        self.assertFalse((self.dir / "install.argv").exists())

        agent.send_signal(signal.SIGTERM)
        self.assertEqual(agent.wait(timeout=30), 0)

    def test_broker_late_and_gone(self):
        # The board starts without its broker, then keeps trying.
        self.broker.kill()
        self.broker.wait()
        agent = self.start_agent()
        wait_for(lambda: "Connection refused" in (self.dir / "agent.log").read_text(), "a failed attempt")
        self.start_broker()
        self.assertEqual(wait_for(self.state, "the state once the broker is up")["running"], 1)
        # Gone and back (its retained messages lost): the state again.
        self.broker.kill()
        self.broker.wait()
        self.start_broker()
        self.assertEqual(wait_for(self.state, "the state after a restart", 90)["id"], "b1")
        agent.send_signal(signal.SIGINT)
        self.assertEqual(agent.wait(timeout=30), 0)

    def test_usage_and_configuration_errors(self):
        def run(*args):
            r = subprocess.run([AGENT, *map(str, args)], capture_output=True, text=True, timeout=30)
            return r.returncode, r.stdout, r.stderr

        self.assertEqual(run("--version"), (0, f"vemra-agent {VERSION}\n", ""))
        status, out, err = run("--help")
        self.assertEqual((status, err), (0, ""))
        self.assertIn("-c FILE", out)
        conf = self.dir / "agent.conf"
        os.chmod(conf, 0o644)  # a password open to others
        status, out, err = run("-c", conf)
        self.assertEqual((status, out), (2, ""))
        self.assertEqual(err.count("\n"), 1, err)
        self.assertIn("chmod 600", err)
        # No settings yet: the agent waits for them (init would start it
        # again at once), then takes them up: these are refused.
        waiting = subprocess.Popen([AGENT, "-c", self.dir / "later"], stderr=subprocess.PIPE, text=True)
        self.assertEqual(run("-x")[0], 2)
        self.assertIsNone(waiting.poll())
        (self.dir / "later").write_text("group=g\n")
        self.assertEqual(waiting.wait(timeout=30), 2)
        self.assertEqual(waiting.stderr.read().count("\n"), 1)


if __name__ == "__main__":
    VERSION, AGENT = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1])

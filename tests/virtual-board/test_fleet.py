# SPDX-License-Identifier: MIT
# The fleet agent on the virtual board: Debian's mosquitto on the host
# (scripts/broker.sh), the board's vemra-agent started by its init once the
# application has ended. What the broker keeps of the board is read with
# mosquitto_sub, announcements are published with mosquitto_pub as the
# operator; the expected states are the board's own (vemra-boot status -p,
# and the known steps of each scenario).
import json
import os
import subprocess
import time

import pytest

from conftest import TOP

BROKER = os.path.join(TOP, "scripts", "broker.sh")
IMAGES = "/usr/share/vboard"
STATE = "vemra/vboard/b1/state"
UPDATE = "vemra/vboard/g1/update"


class Broker:
    def __init__(self, run):
        self.run = run
        os.makedirs(run)
        with open(os.path.join(run, "boards"), "w") as f:
            f.write("b1 vboard g1 pw-b1\n")
        self.start()
        conf = dict(line.split("=", 1) for line in open(os.path.join(run, "operator.conf")).read().split())
        self.creds = ["-u", conf["user"], "-P", conf["password"]]

    def start(self):
        self.port = int(subprocess.run([BROKER, "start", self.run], check=True, text=True,
                                       stdout=subprocess.PIPE).stdout)

    def stop(self):
        subprocess.run([BROKER, "stop", self.run], check=True)

    def args(self):
        # The board's kernel command line: its settings, its clock.
        return ("vboard.trust=trusted", "vboard.board=vboard", "vboard.time=%d" % time.time(),
                "vboard.fleet=10.0.2.2:%d,g1,b1,pw-b1" % self.port)

    def state(self):
        # The board's state as the broker keeps it (retained), or None.
        r = subprocess.run(["mosquitto_sub", "-p", str(self.port), *self.creds, "-t", STATE, "-C", "1",
                            "-W", "2", "--retained-only"], capture_output=True, text=True)
        return json.loads(r.stdout) if r.returncode == 0 and r.stdout.strip() else None

    def wait(self, what, done, seconds=120):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            s = self.state()
            if s is not None and done(s):
                return s
            time.sleep(1)
        pytest.fail("not within %d s: %s; the broker keeps %s" % (seconds, what, self.state()))

    def announce(self, payload):
        subprocess.run(["mosquitto_pub", "-p", str(self.port), *self.creds, "-V", "mqttv5", "-q", "1", "-r",
                        "-t", UPDATE, "-m", payload], check=True)


@pytest.fixture
def broker(tmp_path):
    b = Broker(str(tmp_path / "broker"))
    yield b
    subprocess.run([BROKER, "stop", b.run])


def keys(board):
    status, out, _ = board.sh("vemra-boot status -p")
    assert status == 0
    return dict(line.split("=", 1) for line in out.splitlines())


def mirrors(state, k):
    # The state says what status -p says of the board.
    def num(key):
        return int(k[key]) if k.get(key) in ("1", "2") else None
    images = [{"slot": n, "state": k["image%d" % n], "version": k.get("image%d_version" % n),
               "signature": k.get("image%d_signature" % n)} for n in (1, 2)]
    trial = k.get("trial") and {"image": int(k["trial"]), "boots": int(k["trial_boots"]),
                                "used": int(k["trial_used"])}
    rollback = k.get("rollback") and {"from": int(k["rollback"]), "to": int(k["rollback_to"])}
    return (state["running"], state["selected"], state["images"], state["floor"], state["trial"],
            state["rollback"]) == (num("booted"), num("selected"), images, k.get("floor") or None,
                                   trial or None, rollback or None)


def test_the_state_the_broker_keeps_follows_the_board(board, broker):
    # After the boot, an install for a trial, a reject, a refused signature,
    # a trial confirmed by its application and one that goes back, the
    # retained state is what status -p says, and these known steps.
    board.flash()
    board.shell(*broker.args())
    s = broker.wait("the first state", lambda s: s["running"] == 1)
    assert (s["id"], s["board"], s["group"], s["selected"], s["trial"], s["update"]) == (
        "b1", "vboard", "g1", 1, None, None)
    assert mirrors(s, keys(board))
    steps = (
        ("vemra-boot install %s/stable2 2 --trial --boots 1" % IMAGES, 0,
         lambda s: s["trial"] == {"image": 2, "boots": 1, "used": 0} and s["selected"] == 2),
        ("vemra-boot reject", 0, lambda s: s["trial"] is None and s["rollback"] == {"from": 2, "to": 1}),
        ("vemra-boot install %s/short 2" % IMAGES, 1, None),
        ("vemra-boot install %s/stable2 2 --trial" % IMAGES, 0, lambda s: s["trial"] and s["rollback"]),
    )
    for command, code, done in steps:
        before = broker.state()
        assert board.sh(command)[0] == code, command
        s = broker.wait(command, done) if done else broker.state()
        assert done or s == before, command
        assert mirrors(s, keys(board)), command
    # stable2 boots, its application confirms: the floor is 2.0.
    board.reboot()
    board.shell(*broker.args())
    s = broker.wait("the confirmed trial", lambda s: s["running"] == 2 and s["trial"] is None)
    assert (s["floor"], s["rollback"], s["images"][1]["version"]) == ("2.0", None, "2.0")
    assert mirrors(s, keys(board))
    # long (3.0, whose application ends without confirming) on trial in
    # slot 1 for one boot: the boot after it goes back to image 2.
    assert board.sh("vemra-boot install %s/long 1 --trial --boots 1" % IMAGES)[0] == 0
    for running, done in ((1, lambda s: s["running"] == 1 and s["trial"]["used"] == 1),
                          (2, lambda s: s["rollback"] == {"from": 1, "to": 2})):
        board.reboot()
        board.shell(*broker.args())
        s = broker.wait("image %d running" % running, done)
        assert mirrors(s, keys(board))
    assert (s["running"], s["selected"], s["trial"]) == (2, 2, None)


MALFORMED = {
    "not JSON": "{url",
    "not an object": '["http://10.0.2.2/u", "3.0"]',
    "url of another type": '{"url": 5, "version": "3.0"}',
    "no version": '{"url": "http://10.0.2.2/u"}',
    "a url too long": json.dumps({"url": "http://10.0.2.2/" + "u" * 500, "version": "3.0"}),
    "not http": '{"url": "ftp://10.0.2.2/u", "version": "3.0"}',
    "no valid version": '{"url": "http://10.0.2.2/u", "version": "3.0-rc1"}',
}


def test_announcements_the_board_refuses(board, broker, web):
    # Each malformed announcement is reported once, as refused, and runs
    # nothing; so are an image signed for another board and one below the
    # board's floor (1.10, set by an install without a trial), which
    # vemra-boot refuses: the state carries its line. The slots stay as
    # they were.
    board.flash()
    board.shell(*broker.args())
    assert board.sh("vemra-boot install %s/v1.10 2" % IMAGES)[0] == 0
    broker.wait("the floor", lambda s: s["floor"] == "1.10")
    slots, seen = board.sh("md5sum /user/images/*"), set()
    for name, payload in MALFORMED.items():
        broker.announce(payload)
        s = broker.wait(name, lambda s: s["update"] and s["update"]["step"] == "refused" and
                        s["error"] == s["update"]["detail"] and s["error"] not in seen)
        seen.add(s["error"])
    for name, version, line in (
            ("acme", "3.0", "signed for board acme-ppc-3, not for this board (vboard)"),
            ("v1.9", "1.9", "version 1.9 is older than this board's floor 1.10")):
        broker.announce(json.dumps({"url": "%s/%s" % (web, name), "version": version}))
        s = broker.wait(name, lambda s: s["update"]["version"] == version and s["update"]["step"] == "refused")
        assert line in s["error"], s
    assert board.sh("md5sum /user/images/*") == slots


def test_the_broker_down_during_an_update_and_a_boot(board, broker, web):
    # The broker stops once the board has begun the update: the board
    # installs it, reboots, boots the trial and confirms it without the
    # broker; once the broker is back (at its port) the agent sends the
    # state as it is.
    board.flash()
    board.shell(*broker.args())
    broker.wait("the first state", lambda s: s["running"] == 1)
    broker.announce(json.dumps({"url": "%s/stable2" % web, "version": "2.0"}))
    broker.wait("the install", lambda s: s["update"] and s["update"]["step"] == "installing")
    broker.stop()
    board.wait_end()  # the agent's reboot
    board.shell(*broker.args())
    k = keys(board)
    assert (k["booted"], "trial" in k, k["floor"]) == ("2", False, "2.0")
    broker.start()
    s = broker.wait("the state once the broker is back", lambda s: s["running"] == 2 and s["trial"] is None)
    assert s["images"][1]["version"] == "2.0" and mirrors(s, keys(board))

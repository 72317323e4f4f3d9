# SPDX-License-Identifier: MIT
# vemra-fleet and scripts/broker.sh end to end: a real mosquitto started by
# broker.sh in a temporary folder, Debian's mosquitto_pub and mosquitto_sub
# as the boards. Expected texts are the protocol's (docs/fleet.md), written
# out here.
#
# Run by CTest: VEMRA_FLEET_BIN (the program), VEMRA_VERSION, BROKER_SH.
import concurrent.futures
import json
import os
import re
import subprocess

import pytest

FLEET = os.environ["VEMRA_FLEET_BIN"]
BROKER = os.environ["BROKER_SH"]
BOARDS = {"b1": ("acme", "g1"), "b2": ("acme", "g2"), "a9": ("other", "g1")}


def state(id, time=1765180000, running=1, versions=("1.0", "2.0"), trial=None, rollback=None, update=None, **more):
    board, group = BOARDS.get(id, ("acme", "g1"))
    images = [{"slot": n + 1, "state": "valid" if v else "missing", "version": v, "signature": v and "matches"}
              for n, v in enumerate(versions)]
    s = {"id": id, "board": board, "group": group, "time": time, "agent": "0.2", "running": running,
         "selected": running, "images": images, "floor": None, "trial": trial, "rollback": rollback,
         "update": update, "error": None}
    s.update(more)
    return s


class Broker:
    def __init__(self, dir):
        self.dir = dir
        (dir / "boards").write_text("".join(f"{i} {b} {g} pw-{i}\n" for i, (b, g) in BOARDS.items()))
        self.port = int(subprocess.run([BROKER, "start", dir], capture_output=True, text=True, check=True).stdout)
        self.op = str(dir / "operator.conf")
        self.op_password = (dir / "operator.conf").read_text().split("password=")[1].strip()

    def creds(self, user):
        return ["-u", user, "-P", self.op_password if user == "operator" else f"pw-{user}"]

    def pub(self, user, topic, payload, retain=True):
        # As a board does: MQTT v5, QoS 1, retained.
        return subprocess.run(["mosquitto_pub", "-V", "mqttv5", "-q", "1", "-p", str(self.port), *self.creds(user),
                               "-t", topic, *(["-r"] if retain else []), "-s"],
                              input=payload.encode() if isinstance(payload, str) else payload,
                              capture_output=True, text=False, timeout=30)

    def first(self, user, *topics):
        # The first retained message of the topics, subscribed in this
        # order in one SUBSCRIBE: the broker hands them in that order.
        args = [a for t in topics for a in ("-t", t)]
        r = subprocess.run(["mosquitto_sub", "-V", "mqttv5", "-p", str(self.port), *self.creds(user), *args,
                            "-C", "1", "-v"], capture_output=True, text=True, timeout=30)
        return r.stdout

    def fleet(self, *args, creds=None):
        return run("fleet", "--broker", f"127.0.0.1:{self.port}", "--credentials", creds or self.op, *args)

    def announce(self, *args, creds=None):
        return run("announce", "--broker", f"127.0.0.1:{self.port}", "--credentials", creds or self.op, *args)


def run(*args):
    r = subprocess.run([FLEET, *map(str, args)], capture_output=True, text=True, timeout=60)
    return r.returncode, r.stdout, r.stderr


@pytest.fixture
def broker(tmp_path):
    b = Broker(tmp_path)
    yield b
    subprocess.run([BROKER, "stop", tmp_path], check=True)


def line(*cols):
    # The documented layout: ID 16, BOARD 12, GROUP 10, RUNNING 12, TRIAL 22,
    # ROLLBACK 12, UPDATE 16 characters, each and a blank; LAST SEEN.
    return "".join(c.ljust(w) + " " for c, w in zip(cols, (16, 12, 10, 12, 22, 12, 16))) + cols[7] + "\n"


HEADER = line("ID", "BOARD", "GROUP", "RUNNING", "TRIAL", "ROLLBACK", "UPDATE", "LAST SEEN (UTC)")
STATES = [state("a9", time=1765266399, running=2, versions=("1.0", None), trial={"image": 1, "boots": 1, "used": 0}),
          state("b2", time=0, running=None, versions=(None, None), rollback={"from": 2, "to": 1}),
          state("b1", trial={"image": 2, "boots": 3, "used": 1},
                update={"version": "2.0", "url": "http://10.0.2.2/u.img", "step": "rebooting", "detail": None})]
ROWS = {"b1": ("b1", "acme", "g1", "1 (1.0)", "image 2, 1 of 3 boots", "-", "rebooting 2.0", "2025-12-08 07:46:40"),
        "b2": ("b2", "acme", "g2", "-", "-", "image 2 -> 1", "-", "1970-01-01 00:00:00"),
        "a9": ("a9", "other", "g1", "2", "image 1, 0 of 1 boot", "-", "-", "2025-12-09 07:46:39"),
        "b9": ("acme", "g1", "1 (1.0)", "-", "-", "-", "2025-12-08 07:46:40")}


def as_json(ids):
    keys = ("id", "board", "group", "running", "trial", "rollback", "update", "last_seen")
    states = {s["id"]: s for s in STATES}
    return [dict({k: None if v == "-" else v for k, v in zip(keys, ROWS[i])}, state=states[i]) for i in ids]


@pytest.mark.parametrize("args, ids", [([], ["b1", "b2", "a9"]), (["--board", "acme"], ["b1", "b2"]),
                                       (["--board", "nobody"], [])])
def test_fleet_lists_retained_states_by_board_then_id(broker, args, ids):
    for s in STATES:
        assert broker.pub(s["id"], f"vemra/{s['board']}/{s['id']}/state", json.dumps(s)).returncode == 0
    assert broker.fleet(*args) == (0, HEADER + "".join(line(*ROWS[i]) for i in ids), "")
    status, out, err = broker.fleet(*args, "--json")
    assert (status, json.loads(out), err) == (0, as_json(ids), "")
    assert out == json.dumps(as_json(ids), separators=(",", ":")) + "\n"


def test_fleet_lists_more_boards_than_a_broker_queues(broker):
    # mosquitto queues at most 1000 messages for a client beyond those in
    # flight: every one of 1100 boards must be listed all the same.
    ids = [f"n{i:04}" for i in range(1100)]
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        done = pool.map(lambda i: broker.pub("operator", f"vemra/acme/{i}/state", json.dumps(state(i))), ids)
        assert all(r.returncode == 0 for r in done)
    status, out, err = broker.fleet()
    assert (status, out.splitlines()[1::1099], err) == (0, [line(ids[0], *ROWS["b9"]).rstrip("\n"),
                                                          line(ids[-1], *ROWS["b9"]).rstrip("\n")], "")
    assert len(out.splitlines()) == 1101


GOOD = json.dumps(state("b9"), separators=(",", ":"))


def padded(n):
    # b9's state as n bytes: its error line grown to fit.
    return GOOD.replace('"error":null', '"error":"' + "x" * (n - len(GOOD) - 2 + 4) + '"')


@pytest.mark.parametrize("payload, why", [
    ("{", "not JSON"),
    (GOOD + " x", "not JSON"),
    ("[1]", "not a JSON object"),
    (GOOD.replace('"running":1', '"running":"1"'), '"running" is not 1, 2 or null'),
    (GOOD.replace('"time":1765180000', '"time":-1'), '"time" is not a time (whole seconds since 1970)'),
    (GOOD.replace(',"error":null', ""), 'no "error"'),
    (GOOD.replace('"group":"g1"', '"group":"g 1"'), '"group" is not a name (1 to 63 of A-Z a-z 0-9 . _ -)'),
    (GOOD.replace('"slot":2', '"slot":1'), '"images" is not two images (slot 1, slot 2)'),
    (GOOD.replace('"trial":null', '"trial":{"image":2,"boots":3}'), '"trial" is not a trial (image, boots, used) or null'),
    (GOOD.replace('"id":"b9"', '"id":"b1"'), "the state of b1 on another board's topic"),
    (GOOD.replace('"selected":1', '"selected":3'), '"selected" is not 1, 2 or null'),
    (GOOD.replace('"time":1765180000', '"time":1765180000.5'), '"time" is not a time (whole seconds since 1970)'),
    (GOOD.replace('"agent":"0.2"', '"agent":null'), '"agent" is not a string'),
    (GOOD.replace('"floor":null', '"floor":2'), '"floor" is not a string or null'),
    (GOOD.replace('"error":null', '"error":false'), '"error" is not a string or null'),
    (GOOD.replace(',{"slot":2', ']#').split("]#")[0] + '],"floor":null,"trial":null,"rollback":null,"update":null,"error":null}',
     '"images" is not two images (slot 1, slot 2)'),
    (GOOD.replace('"rollback":null', '"rollback":{"from":2,"to":"1"}'), '"rollback" is not a rollback (from, to) or null'),
    (GOOD.replace('"update":null', '"update":{"version":"2.0","url":"http://h/u","step":null,"detail":null}'),
     '"update" is not an update (version, url, step, detail) or null'),
    (padded(4097), "4097 bytes, more than 4096"),
    (padded(4094) + " \n", None),  # 4096 bytes, blanks after the object
], ids=lambda v: v[:24] if isinstance(v, str) else None)
def test_a_state_that_cannot_be_read_gets_its_line(broker, payload, why):
    b1 = state("b1")
    broker.pub("b1", "vemra/acme/b1/state", json.dumps(b1))
    broker.pub("operator", "vemra/acme/b9/state", payload)
    b1_line = line("b1", "acme", "g1", "1 (1.0)", "-", "-", "-", "2025-12-08 07:46:40")
    if why is None:
        assert len(payload) == 4096
        assert broker.fleet() == (0, HEADER + b1_line + line("b9", *ROWS["b9"]), "")
    else:
        assert broker.fleet() == (1, HEADER + b1_line, f"vemra-fleet: vemra/acme/b9/state: {why}\n")


def test_announce_publishes_retained_and_clear_withdraws(broker):
    url = "http://10.0.2.2:8080/update.img"
    assert broker.announce("--board", "acme", "--group", "g1", "--url", url, "--version", "2.0") == \
        (0, "vemra/acme/g1/update: 2.0 announced\n", "")
    longest = "https://h/" + "u" * 502  # 512 characters
    assert broker.announce("--board", "acme", "--group", "g2", "--url", longest, "--version", "2.1")[0] == 0
    # Read by a board of the group that subscribes afterwards: retained.
    assert broker.first("b1", "vemra/acme/g1/update") == f'vemra/acme/g1/update {{"url":"{url}","version":"2.0"}}\n'
    # b1 may not read g2's announcement: the broker hands it g1's alone.
    assert broker.first("b1", "vemra/acme/g2/update", "vemra/acme/g1/update").startswith("vemra/acme/g1/update ")
    assert broker.announce("--board", "acme", "--group", "g1", "--clear") == (0, "vemra/acme/g1/update: withdrawn\n", "")
    assert broker.first("operator", "vemra/acme/g1/update", "vemra/acme/g2/update") == \
        f'vemra/acme/g2/update {{"url":"{longest}","version":"2.1"}}\n'


REFUSED = "not 1 to 63 of A-Z a-z 0-9 . _ -"
BAD_URL = "not an http:// or https:// URL of at most 512 characters without blanks, double quotes or backslashes"


@pytest.mark.parametrize("board, group, url, version, err", [
    ("acme", "g1", "ftp://h/u.img", "2.0", f"--url 'ftp://h/u.img': {BAD_URL}"),
    ("acme", "g1", "http://h/a b", "2.0", f"--url 'http://h/a b': {BAD_URL}"),
    ("acme", "g1", 'http://h/"', "2.0", f"--url 'http://h/\"': {BAD_URL}"),
    ("acme", "g1", "http://h/a'b", "2.0", None),  # a single quote is a url's own
    ("acme", "g1", "http://h/" + "u" * 504, "2.0", f"--url 'http://h/{'u' * 504}': {BAD_URL}"),
    ("acme", "g1", "https://h/u.img", "2.x", "--version '2.x': not a version (numbers and dots: 2.4.1)"),
    ("acme", "g1", "https://h/u.img", "", "--version '': not a version (numbers and dots: 2.4.1)"),
    ("acme", "g/1", "https://h/u.img", "2.0", f"--group 'g/1': {REFUSED}"),
    ("ac+me", "g1", "https://h/u.img", "2.0", f"--board 'ac+me': {REFUSED}"),
], ids=lambda v: (v or "accepted")[:24])
def test_announce_refuses_values_before_connecting(tmp_path, board, group, url, version, err):
    (tmp_path / "c").write_text("user=operator\npassword=x\n")
    (tmp_path / "c").chmod(0o600)
    # Nothing listens at port 1: a connection ends in status 2.
    status, out, stderr = run("announce", "--broker", "127.0.0.1:1", "--credentials", tmp_path / "c", "--board",
                              board, "--group", group, "--url", url, "--version", version)
    assert (status, out, stderr if err else "") == ((1, "", f"vemra-fleet: {err}\n") if err else (2, "", ""))


def test_acl_keeps_boards_to_their_own_topics(broker):
    r = broker.pub("b1", "vemra/acme/b2/state", json.dumps(state("b2")))
    assert b"Not authorized" in r.stderr
    assert broker.fleet() == (0, HEADER, "")
    (broker.dir / "b1.conf").write_text("user=b1\npassword=pw-b1\n")
    (broker.dir / "b1.conf").chmod(0o600)
    assert broker.announce("--board", "acme", "--group", "g1", "--clear", creds=broker.dir / "b1.conf") == \
        (1, "", "vemra-fleet: vemra/acme/g1/update: the broker refused the message: Not authorized (0x87)\n")
    # Nor list the fleet: its probe is refused.
    status, out, err = broker.fleet(creds=broker.dir / "b1.conf")
    assert (status, out) == (1, "") and re.fullmatch(r"vemra-fleet: vemra-fleet/vemra-fleet-\d+-[0-9a-f]{8}: "
                                                     r"the broker refused the message: Not authorized \(0x87\)\n", err)
    # A board added to DIR/boards may publish once broker.sh users has run.
    with open(broker.dir / "boards", "a") as f:
        f.write("n1 acme g1 pw-n1\n")
    subprocess.run([BROKER, "users", broker.dir], check=True)
    assert broker.pub("n1", "vemra/acme/n1/state", json.dumps(state("n1"))).stderr == b""
    assert broker.fleet()[1].count("\n") == 2


@pytest.mark.parametrize("text, mode, err", [
    ("user=operator\n", 0o600, "{f}: no password= line"),
    ("# who\npassword=x\n", 0o600, "{f}: no user= line"),
    ("user=operator\npassword=x\nhost=h\n", 0o600, "{f}:3: unknown key 'host' (user, password)"),
    ("user=operator\npassword\n", 0o600, "{f}:2: not a key=value line"),
    ("user=operator\npassword=x\n", 0o640, "{f}: readable by group or others (chmod 600 it)"),
    ("user=operator\nuser=operator\npassword=x\n", 0o600, "{f}:2: user given twice"),
    ("user=\npassword=x\n", 0o600, "{f}:1: user is empty"),
    (None, 0, "{f}: No such file or directory"),
    ("user=operator\npassword=wrong\n", 0o600, "127.0.0.1:{port}: the broker refused the connection: Not authorized (0x87)"),
])
def test_credentials_come_from_a_private_file(broker, text, mode, err):
    f = broker.dir / "c.conf"
    if text is not None:
        f.write_text(text)
        f.chmod(mode)
    assert broker.fleet(creds=f) == (2, "", "vemra-fleet: " + err.format(f=f, port=broker.port) + "\n")


@pytest.mark.parametrize("boards, path, err", [
    ("b1 acme g1 pw\n", "/usr/bin:/bin", "mosquitto is missing: install Debian's mosquitto (apt-get install mosquitto) as root"),
    ("b1 acme g1 pw\nb/2 acme g1 pw\n", os.environ["PATH"], "{d}/boards:2: 'b/2': not 1 to 63 of A-Z a-z 0-9 . _ -"),
    ("b1 acme g1\n", os.environ["PATH"], "{d}/boards:1: not 'ID BOARD GROUP PASSWORD'"),
])
def test_broker_sh_refuses_in_one_line(tmp_path, boards, path, err):
    (tmp_path / "boards").write_text(boards)
    r = subprocess.run([BROKER, "start", tmp_path], capture_output=True, text=True, env=dict(os.environ, PATH=path))
    assert (r.returncode, r.stdout, r.stderr) == (1, "", "broker: " + err.format(d=tmp_path) + "\n")


def test_broker_keeps_retained_states_across_a_restart(broker):
    assert os.stat(broker.op).st_mode & 0o777 == 0o600
    broker.pub("b1", "vemra/acme/b1/state", json.dumps(state("b1")))
    subprocess.run([BROKER, "stop", broker.dir], check=True)
    broker.port = int(subprocess.run([BROKER, "start", broker.dir], capture_output=True, text=True).stdout)
    # The operator's credentials stay; a line from Windows counts as one.
    (broker.dir / "crlf.conf").write_text(f"user=operator\r\npassword={broker.op_password}\r\n")
    (broker.dir / "crlf.conf").chmod(0o600)
    assert broker.fleet(creds=broker.dir / "crlf.conf") == (0, HEADER + line("b1", *ROWS["b9"]), "")


def test_json_carries_any_text_of_a_state(broker):
    b1 = state("b1", error='wget: "update.img": 404 Not Found \\ ünïcode\t')
    broker.pub("b1", "vemra/acme/b1/state", json.dumps(b1))
    assert json.loads(broker.fleet("--json")[1])[0]["state"] == b1


def test_a_long_id_moves_the_rest_of_its_line(broker):
    id = "board-" + "x" * 57  # 63 characters
    broker.pub("operator", f"vemra/acme/{id}/state", json.dumps(state(id)))
    assert broker.fleet() == (0, HEADER + f"{id} " + line("", *ROWS["b9"])[17:], "")


def test_broker_down_is_one_line(broker):
    subprocess.run([BROKER, "stop", broker.dir], check=True)
    assert broker.fleet() == (2, "", f"vemra-fleet: cannot connect to 127.0.0.1:{broker.port}: Connection refused\n")


@pytest.mark.parametrize("args, status, out, err", [
    (["--version"], 0, f"vemra-fleet {os.environ['VEMRA_VERSION']}\n", ""),
    (["fleet", "--credentials", "c"], 2, "", "vemra-fleet: fleet: --broker and --credentials are needed\n"),
    (["fleet", "--broker", "h", "--credentials", "c", "--url", "u"], 2, "", "vemra-fleet: fleet: unknown option '--url'\n"),
    (["announce", "--broker", "h", "--credentials", "c", "--board", "b", "--group", "g", "--clear", "--version", "1"],
     2, "", "vemra-fleet: announce: --clear takes no --url or --version\n"),
    ([], 2, "", "vemra-fleet: no command given\n"),
    (["list"], 2, "", "vemra-fleet: unknown command 'list'\n"),
    (["fleet", "--broker", "h", "--credentials", "c", "extra"], 2, "", "vemra-fleet: fleet: unexpected argument 'extra'\n"),
    (["announce", "--broker", "h", "--credentials", "c", "--board", "b", "--group", "g", "--url", "http://h/u"],
     2, "", "vemra-fleet: announce: --url and --version are needed (or --clear)\n"),
    (["fleet", "--broker", "h", "--credentials", "c", "--board", "a/b"], 1, "",
     f"vemra-fleet: --board 'a/b': {REFUSED}\n"),
    (["announce", "--broker", "h:0", "--credentials", "c", "--board", "b", "--group", "g", "--clear"],
     2, "", "vemra-fleet: --broker 'h:0': not HOST or HOST:PORT\n"),
])
def test_command_line(args, status, out, err):
    if status == 2:
        err += "Try 'vemra-fleet --help'.\n"
    assert run(*args) == (status, out, err)
    assert run("--help")[1].startswith("usage: vemra-fleet fleet --broker HOST[:PORT] --credentials FILE")

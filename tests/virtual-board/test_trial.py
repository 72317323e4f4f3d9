# SPDX-License-Identifier: MIT
# Trial boots and the launcher's switches set from the board, on the
# virtual board. vemra-boot keeps a trial in VPD bytes 250 to 255 (the
# slot as 0xB1 or 0xB2, its check 0x4E or 0x4D, its boots, the boots used
# in two copies, the slot that went back last) and the switches in the boot loader's environment (8 KiB at the
# start of /dev/mtd-ubootenv, as the board's /etc/fw_env.config says);
# boot-check runs in init before the launcher; the demo images stable
# (confirms its trial) and broken (fails, and the monitor reboots the
# board as its watchdog would) play the application. A power cut is an
# EEPROM that takes no write from a chosen one on (vboard cut), then QEMU
# killed: the EEPROM and the flash keep each write the moment it ends.
import os
import subprocess

import pytest

from conftest import BOARD, READY, VBOARD, md5

IMAGES = "/usr/share/vboard"
PENDING = "vemra-boot: the trial of image 2 is pending: confirm or reject it first\n"
ENV_SIZE = 8192


def env_file(board):
    return os.path.join(board.state, "flash", "ubootenv.bin")


def mkenvimage(board, tmp_path, variables):
    # U-Boot's own image of these variables (big-endian CRC).
    (tmp_path / "env.txt").write_text("".join(v + "\n" for v in variables))
    subprocess.run(["mkenvimage", "-b", "-s", str(ENV_SIZE), "-o", str(tmp_path / "env.bin"),
                    str(tmp_path / "env.txt")], check=True)
    return (tmp_path / "env.bin").read_bytes()


def flashed(board):
    # The variables the board was flashed with (vboard's env.txt).
    return open(os.path.join(board.state, "env.txt")).read().splitlines()


def trial_bytes(board):
    vpd = open(os.path.join(board.state, "vpd.bin"), "rb").read()
    return tuple(vpd[BOARD["TRIAL_VPD"]:BOARD["TRIAL_VPD"] + 6])


def header(board, name):
    return "length %d, crc 0x%08x" % (len(board.image(name)) - 16,
                                       int.from_bytes(board.image(name)[:4], "big"))


def test_switches_set_and_unset_reach_the_launcher(board, tmp_path):
    # Each switch set and unset, read back through the launcher's reader;
    # the environment written is byte for byte U-Boot's own image of the
    # same variables, and the rest of its sector is kept; the next boot
    # launches as the switches say.
    board.up()
    sets = [("gdb", "on"), ("gdbserver", "10.0.0.1"), ("gdbport", "2345"), ("memchk", "on"),
            ("shell", "on"), ("diagnostics", "rescue")]
    for key, value in sets:
        assert board.sh("vemra-boot set %s %s" % (key, value)) == (0, "", ""), key
    for key in ("shell", "diagnostics"):
        assert board.sh("vemra-boot unset %s" % key) == (0, "", ""), key
    status, out, _ = board.sh("vemra-boot status -p")
    assert "gdb=1\ngdbserver=10.0.0.1\ngdbport=2345\nshell=0\nmemchk=1\nrescue_mode=0\n" in out
    board.reboot()
    sector = open(env_file(board), "rb").read()
    want = flashed(board) + ["%s=%s" % kv for kv in sets[:4]]
    assert sector[:ENV_SIZE] == mkenvimage(board, tmp_path, want)
    assert sector[ENV_SIZE:] == b"\xff" * (len(sector) - ENV_SIZE)

    run = board.run_launcher()
    assert ("gdbserver (stand-in): argc 3 '10.0.0.1:2345' '/tmp/mp.elf.strip', LD_PRELOAD "
            "libduma.so.0.0.0\n") in run.stdout
    board.up(env=["gdb=on", "memchk=on"])
    assert board.sh("vemra-boot unset gdb && vemra-boot unset memchk")[0] == 0
    board.reboot()
    run = board.run_launcher()
    assert 'zid-Monitor: got control, pid {}, argc 1, argv[0] "/bin/zid-Monitor"\n'.format(
        min(run.pids)) in run.stdout


def test_refused_sets_leave_the_environment_as_it_was(board):
    # A key whose text another variable holds first, a variable beyond the
    # 1280 bytes the launcher reads (1), a value the launcher would read
    # otherwise than meant (2), an environment whose checksum fails (1):
    # refused, the environment's flash unchanged.
    board.up(env=["note=memchk=on gdbport=77", "pad=" + "x" * 700])
    before = open(env_file(board), "rb").read()
    for command, status, err in (
            ("set memchk off", 1, "memchk: not set, the environment is as it was: another"
             " variable's text holds the key first"),
            ("unset gdbport", 1, "gdbport: not unset, the environment is as it was: another"
             " variable's text holds the key first"),
            ("set shell on", 1, "shell: not set, the environment is as it was: it would lie"
             " beyond the 1280 bytes the launcher reads"),
            ("set volume 11", 2, "set: not a switch of the launcher: 'volume'"),
            ("set gdb yes", 2, "set: gdb takes on or off, not 'yes'"),
            ("set shell 1", 2, "set: shell takes on or off, not '1'"),
            ("set diagnostics Rescue", 2, "set: diagnostics takes rescue or normal, not 'Rescue'"),
            ("set gdbserver 1.2.3.256", 2, "set: gdbserver takes an address a.b.c.d, not '1.2.3.256'"),
            ("set gdbport 70000", 2, "set: gdbport takes a port, 1 to 65535, not '70000'")):
        got = board.sh("vemra-boot " + command)
        assert (got[0], got[2].splitlines()[0]) == (status, "vemra-boot: " + err), command
    assert board.sh("md5sum < /dev/mtd-ubootenv")[1].split()[0] == md5(before)
    # One byte of a variable changed behind the checksum's back.
    assert board.sh("printf x | dd of=/dev/mtd-ubootenv bs=1 seek=20 conv=notrunc 2>/dev/null"
                    " && vemra-boot set gdb on") == (
        1, "", "vemra-boot: the environment's checksum does not match: it is not replaced\n")


def test_unconfirmed_trial_goes_back_and_a_confirmed_one_stays(board):
    # broken fails at every boot: after its two boots boot-check selects
    # image 1 again and says so. A trial of stable then shows that rollback
    # as before it, and its confirm drops it.
    board.up()
    assert board.sh("vemra-boot install %s/broken 2 --trial --boots 2" % IMAGES)[0] == 0
    board.reboot()
    assert trial_bytes(board) == (0xB2, 0x4D, 2, 0, 0, 0)
    for used in (1, 2):
        run = board.run_launcher()
        assert run.stdout.startswith("Booting image '2'\n") and "mp.elf.strip: failing\n" in run.stdout
        assert trial_bytes(board) == (0xB2, 0x4D, 2, used, used, 0)
    run = board.run_launcher()
    assert "vemra-boot: image 2 not confirmed in 2 boots: back to image 1\n" + READY in board.console()
    assert run.stdout.startswith("Booting image '1'\n") and run.vpd[BOARD["VPD_SELECTED"]] == 1
    assert trial_bytes(board) == (0, 0, 2, 2, 2, 0xB2)
    board.shell()
    assert board.sh("vemra-boot install %s/stable 2 --trial && vemra-boot status | grep -E '^(trial|rollback)'"
                    " && vemra-boot status -p | grep -E '^(trial|rollback)'" % IMAGES) == (
        0, "image 2 installed: %s\nselected image 2 for a trial of 3 boots\n"
        "trial:         image 2, 0 of 3 boots, way back image 1\n"
        "rollback:      image 2 went back to image 1, before the trial pending\n"
        "trial=2\ntrial_boots=3\ntrial_used=0\ntrial_way_back=1\nrollback=2\nrollback_to=1\n"
        % header(board, "stable"), "")
    board.reboot()
    run = board.run_launcher()
    assert run.stdout.startswith("Booting image '2'\n") and "trial of image 2 confirmed\n" in run.stdout
    assert trial_bytes(board) == (0, 0, 3, 1, 1, 0) and run.vpd[BOARD["VPD_SELECTED"]] == 2
    run = board.run_launcher()
    assert run.stdout.startswith("Booting image '2'\n") and "no trial pending: nothing to confirm\n" in run.stdout


def test_refusals_and_a_trial_whose_slot_fails(board):
    # A trial is refused for the slot that boots now and for a way back that
    # holds no image the launcher boots; while one is pending, installs and
    # selections of either slot are refused. Nothing is written. Slot 2 on
    # trial then fails its checksum: its first boot falls back to image 1,
    # whose application cannot confirm, and the next boot-check goes back.
    board.up(image1="stable")
    # The slots and the VPD bytes 0, 58 and the trial's, as a shell function.
    assert board.sh("snap() { md5sum /user/images/*; for b in 0 0x3a 0xfa 0xfb 0xfc 0xfd 0xfe 0xff; do"
                    " i2cget -y 0 0x54 $b; done; }; cp /user/images/image1 /tmp/i1 && printf x | dd"
                    " of=/user/images/image1 bs=1 seek=20 conv=notrunc 2>/dev/null")[0] == 0
    assert board.sh("vemra-boot select 2 --trial; cp /tmp/i1 /user/images/image1") == (
        0, "", "vemra-boot: image 1 is no way back: /user/images/image1 holds no image the launcher boots\n")
    assert board.sh("vemra-boot select 1 --trial") == (
        1, "", "vemra-boot: image 1 boots now: a trial needs the other slot to go back to\n")
    assert board.sh("vemra-boot select 2 --trial && snap > /tmp/before") == (
        0, "selected image 2 for a trial of 3 boots\n", "")
    for command in ("select 1", "select 2", "select 1 --trial", "install %s/update 1" % IMAGES,
                    "install %s/update 2 --select" % IMAGES, "install %s/update 2 --trial" % IMAGES):
        assert board.sh("vemra-boot " + command) == (1, "", PENDING), command
    # boot-check, confirm and reject wait 30 s for a command that holds the
    # lock (a recovery image trickling in); then boot-check leaves the trial
    # unchecked for this boot, and confirm and reject are refused.
    held = "another vemra-boot held /run/vemra-boot.lock for 30 s"
    assert board.sh("(head -c 16 %s/big; while sleep 5; do printf x; done) | vemra-boot recovery - >/dev/null 2>&1 &"
                    " r=$!; sleep 2; vemra-boot confirm 2>/tmp/c & c=$!; vemra-boot reject 2>/tmp/j & j=$!;"
                    " vemra-boot boot-check; wait $c; echo confirm $?; wait $j; echo reject $?; kill $r;"
                    " cat /tmp/c /tmp/j >&2; snap | cmp - /tmp/before" % IMAGES, timeout=60) == (
        0, "confirm 1\nreject 1\n", "vemra-boot: boot-check: %s: the trial is not checked this boot\n"
        "vemra-boot: confirm: %s: try again once it has ended\n"
        "vemra-boot: reject: %s: try again once it has ended\n" % (held, held, held))
    assert board.sh("printf '\\377' | dd of=/user/images/image2 bs=1 seek=15 conv=notrunc 2>/dev/null")[0] == 0
    board.reboot()
    run = board.run_launcher()
    assert run.stderr == ("Image2 CRC failed, trying Image1 now.\n"
                          "vemra-boot: image 2 is on trial, but image 1 booted: not confirmed\n")
    assert trial_bytes(board) == (0xB2, 0x4D, 3, 1, 1, 0)
    run = board.run_launcher()
    assert "vemra-boot: image 2 on trial did not boot: back to image 1\n" + READY in board.console()
    assert run.stdout.startswith("Booting image '1'\n") and trial_bytes(board) == (0, 0, 3, 1, 1, 0xB2)


def test_reject_goes_back_at_once(board):
    # A trial of slot 1, image 2 booting.
    board.up(vpd={0: 2})
    assert board.sh("vemra-boot confirm && vemra-boot reject") == (
        0, "no trial pending: nothing to confirm\nno trial pending: nothing to reject\n", "")
    # reject waits for a command at work rather than being refused.
    assert board.sh("vemra-boot install %s/update 1 --trial >/dev/null && (flock /run/vemra-boot.lock sh -c"
                    " 'sleep 3; echo released' &) && sleep 1 && vemra-boot reject" % IMAGES) == (
        0, "released\ntrial of image 1 rejected: back to image 2\n", "")
    board.reboot()
    run = board.run_launcher()
    assert run.stdout.startswith("Booting image '2'\n") and trial_bytes(board) == (0, 0, 3, 0, 0, 0xB1)


# The worst states a power cut leaves in the EEPROM, each made in the boot
# after the board is made: the EEPROM writes let through in that boot (a
# boot's first: boot-check's count, byte 58 cleared and the count's two
# copies; then the launcher's byte 58), and the byte the write the power
# is cut in leaves (None: none, the write fails). A command run in that
# boot's shell is cut there, QEMU killed. Then the images the next boots
# start (broken fails, stable confirms its trial).
WORST = {
    # install --trial of slot 1, slot 2 running, with VPD byte 0 torn to 255
    # as it selects slot 1: the launcher boots slot 1, so boot-check counts
    # it and goes back by writing 2.
    "byte-0-torn-to-255": ({0: 2, 58: 2}, "", 6, 0xFF, "install {i}/broken 1 --trial --boots 2", [1, 1, 2]),
    # install --trial of slot 2 with the trial's slot byte torn into slot
    # 1's mark: no trial is pending, image 1 stays.
    "slot-byte-torn-into-the-other-mark": ({}, "", 4, 0xB1, "install {i}/broken 2 --trial --boots 2", [1, 1, 1]),
    # The trial's first boot cut after boot-check's count, before the
    # launcher records byte 58: no failed boot, the next counts on, and
    # stable confirms.
    "first-boot-cut-before-byte-58": ({}, "install {i}/stable 2 --trial --boots 2", 3, None, "", [2, 2, 2]),
}


@pytest.mark.parametrize("name", WORST)
def test_worst_states_keep_the_way_back(board, name):
    vpd, before, writes, torn, command, booted = WORST[name]
    board.flash(vpd=vpd)
    if before:
        board.shell()
        assert board.sh("vemra-boot " + before.format(i=IMAGES))[0] == 0
        board.reboot()
    subprocess.run([VBOARD, "cut", board.state, "vpd", str(writes)] + ([] if torn is None else [str(torn)]),
                   check=True)
    runs = []
    if command:
        board.shell()
        assert board.sh("vemra-boot " + command.format(i=IMAGES))[0] == 2
        assert board.sh("sync")[0] == 0
        board.kill()
    while len(runs) < len(booted):
        runs.append(board.run_launcher())
    assert [int(r.stdout[len("Booting image '")]) for r in runs] == booted, board.console()
    assert trial_bytes(board)[1] == 0  # no trial pending

# Trial boots and the launcher's switches set from the board, on the
# virtual board: vemra-boot writes the boot loader's environment (8 KiB at
# the start of /dev/mtd-ubootenv, as the board's /etc/fw_env.config says)
# through the board API, boot-check runs in init before the launcher, and
# the demo images stable (confirms its trial) and broken (fails, and the
# monitor reboots the board as its watchdog would) play the application.
import os
import subprocess
import time

from conftest import READY, md5

IMAGES = "/usr/share/vboard"
ENV_SIZE = 8192


def env_file(board):
    return os.path.join(board.state, "flash", "ubootenv.bin")


def env_vars(board):
    # The variables in the environment's flash, in order.
    data = open(env_file(board), "rb").read(ENV_SIZE)[4:]
    return [v.decode() for v in data.split(b"\0\0")[0].split(b"\0") if v]


def mkenvimage(board, tmp_path, variables):
    # U-Boot's own image of these variables (big-endian CRC).
    (tmp_path / "env.txt").write_text("".join(v + "\n" for v in variables))
    subprocess.run(["mkenvimage", "-b", "-s", str(ENV_SIZE), "-o", str(tmp_path / "env.bin"),
                    str(tmp_path / "env.txt")], check=True)
    return (tmp_path / "env.bin").read_bytes()


def flashed(board):
    # The variables the board was flashed with (vboard's env.txt).
    return open(os.path.join(board.state, "env.txt")).read().splitlines()


def trial_of(board):
    return [v for v in env_vars(board) if v.startswith(("vemra_trial=", "vemra_rollback="))]


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
    # 1280 bytes the launcher reads, an environment whose checksum fails:
    # refused, the environment's flash unchanged; boot-check leaves the
    # damaged environment alone and says so.
    board.up(env=["note=memchk=on gdbport=77", "pad=" + "x" * 700])
    before = open(env_file(board), "rb").read()
    for command, err in (
            ("set memchk off", "memchk: not set, the environment is as it was: another"
             " variable's text holds the key first"),
            ("unset gdbport", "gdbport: not unset, the environment is as it was: another"
             " variable's text holds the key first"),
            ("set shell on", "shell: not set, the environment is as it was: it would lie"
             " beyond the 1280 bytes the launcher reads"),
            ("set volume 11", "set: not a switch of the launcher: 'volume'")):
        status, out, got = board.sh("vemra-boot " + command)
        assert (status, got.splitlines()[0]) == (2 if "volume" in command else 1,
                                                   "vemra-boot: " + err), command
    assert board.sh("md5sum < /dev/mtd-ubootenv")[1].split()[0] == md5(before)
    # One byte of a variable changed behind the checksum's back.
    assert board.sh("printf x | dd of=/dev/mtd-ubootenv bs=1 seek=20 conv=notrunc 2>/dev/null"
                    " && vemra-boot set gdb on") == (
        1, "", "vemra-boot: the environment's checksum does not match: it is not replaced\n")
    damaged = board.sh("md5sum < /dev/mtd-ubootenv")[1]
    board.reboot()
    board.boot()
    board.vm.expect_exact("Please press Enter to activate this console.")
    assert ("vemra-boot: boot-check: the environment's checksum does not match: left alone"
            in board.console())
    assert md5(open(env_file(board), "rb").read()) == damaged.split()[0]


def test_confirmed_trial_stays(board):
    board.up(image2="image2")
    status, out, err = board.sh("vemra-boot install %s/stable 2 --trial --boots 2" % IMAGES)
    assert (status, err) == (0, "") and out.endswith("selected image 2 for a trial of 2 boots\n")
    assert board.sh("vemra-boot status | grep ^trial: && vemra-boot status -p | grep ^trial") == (
        0, "trial:         image 2, 0 of 2 boots, way back image 1\n"
        "trial=2\ntrial_boots=2\ntrial_used=0\ntrial_way_back=1\n", "")
    crc = "%08x" % int.from_bytes(board.image("stable")[:4], "big")
    board.reboot()
    assert trial_of(board) == ["vemra_trial=2,2,0,1," + crc]
    run = board.run_launcher()  # boot-check counts, stable runs and confirms
    assert run.stdout.startswith("Booting image '2'\n") and "trial of image 2 confirmed\n" in run.stdout
    assert trial_of(board) == [] and run.vpd[0] == 2
    run = board.run_launcher()
    assert run.stdout.startswith("Booting image '2'\n") and "demo stable running" in run.stdout


def test_trial_never_confirmed_goes_back(board):
    # broken fails at every boot; after its two boots boot-check selects
    # image 1 again, says so, and image 1 runs.
    board.up()
    assert board.sh("vemra-boot install %s/broken 2 --trial --boots 2" % IMAGES)[0] == 0
    board.reboot()
    for used in (1, 2):
        run = board.run_launcher()
        assert run.stdout.startswith("Booting image '2'\n") and "mp.elf.strip: failing\n" in run.stdout
        assert trial_of(board)[0].startswith("vemra_trial=2,2,%d,1," % used)
    run = board.run_launcher()
    assert "vemra-boot: image 2 not confirmed in 2 boots: back to image 1\n" + READY in board.console()
    assert run.stdout.startswith("Booting image '1'\n") and "demo image1 running" in run.stdout
    assert trial_of(board) == ["vemra_rollback=2,1"] and run.vpd[0] == 1
    board.shell()
    assert board.sh("vemra-boot status | grep -E '^(trial|rollback)'; vemra-boot status -p | grep ^rollback") == (
        0, "rollback:      image 2 went back to image 1\nrollback=2\nrollback_to=1\n", "")


def test_trial_whose_slot_fails_falls_back_and_is_not_confirmed(board):
    # select --trial: refused for the slot that boots now and while a trial
    # is pending; image 2 then damaged in its header's last byte.
    board.up(image1="stable")
    trial_err = "vemra-boot: the trial of image 2 is pending: confirm it or let it go back first\n"
    assert [board.sh("vemra-boot select %d --trial" % n) for n in (1, 2, 1)] == [
        (1, "", "vemra-boot: image 1 boots now: a trial needs the other slot to go back to\n"),
        (0, "selected image 2 for a trial of 3 boots\n", ""), (1, "", trial_err)]
    assert board.sh("printf '\\377' | dd of=/user/images/image2 bs=1 seek=15 conv=notrunc 2>/dev/null")[0] == 0
    board.reboot()
    run = board.run_launcher()
    assert run.stderr == ("Image2 CRC failed, trying Image1 now.\n"
                          "vemra-boot: image 2 is on trial, but image 1 booted: not confirmed\n")
    assert trial_of(board)[0].startswith("vemra_trial=2,3,1,1,")


def test_power_cut_during_boot_checks_write_still_boots(board):
    # QEMU killed as soon as the environment's flash changes, that is in
    # boot-check's write of the boot count: the next boot boots a valid
    # image, whatever the cut left of the environment.
    board.up()
    assert board.sh("vemra-boot install %s/update 2 --trial" % IMAGES)[0] == 0
    board.reboot()
    before = open(env_file(board), "rb").read()
    board.boot("vboard.test", "vboard.poweroff", ready=False)
    deadline = time.time() + 180
    while open(env_file(board), "rb").read() == before and time.time() < deadline:
        time.sleep(0.001)
    board.kill()
    assert open(env_file(board), "rb").read() != before
    run = board.run_launcher()
    assert run.stdout.startswith("Booting image '2'\n") and "demo update running" in run.stdout
    assert run.stderr == ""

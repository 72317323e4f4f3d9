#!/usr/bin/python3
"""Prints the benchmark table from the results scripts/bench.sh collected
and checks the budgets. Exit status 1 when a budget is missed or could not
be measured.

    report.py RESULTS_DIR BUILD_DIR
"""
import glob
import json
import os
import platform
import re
import subprocess
import sys

MIB = 1 << 20
# One step of the bitwise checksum is a shift, a mask and an xor; with the
# mask on the register's chain that is three dependent one-cycle operations
# per bit. gen_crc takes each mask two steps ahead, which leaves the shift
# and the xor per bit plus the xor of the data byte.
CHAIN_SERIAL = 8 * 3
CHAIN_AHEAD = 8 * 2 + 1

BOOT_INSTR_BUDGET = 1.10        # x one gen_crc pass, 64 MiB image
BOOT_RSS_SLACK = MIB            # over length + 16, 64 MiB image


def load_json(path):
    """Benchmarks of a Google Benchmark JSON file by name; the medians of
    repeated ones are named NAME_median."""
    try:
        with open(path) as f:
            return {b["name"]: b for b in json.load(f)["benchmarks"]}
    except (OSError, ValueError, KeyError):
        return {}


def bench(results, name):
    """The median of a benchmark's repetitions (or its only run)."""
    for key in (name + "_median", name):
        if key in results:
            return results[key]
    return None


def callgrind(pattern):
    """Instructions per labelled region of the callgrind dumps."""
    counts = {}
    for path in glob.glob(pattern):
        label = total = None
        with open(path) as f:
            for line in f:
                m = re.match(r"desc: Trigger: Client Request: (\S+)", line)
                if m:
                    label = m.group(1)
                m = re.match(r"summary: (\d+)", line)
                if m:
                    total = int(m.group(1))
        if label and total is not None:
            counts[label] = total
    return counts


def key_values(path):
    """Lines of `word key=value ...` as a list of (word, dict)."""
    rows = []
    try:
        with open(path) as f:
            for line in f:
                parts = line.split()
                if parts:
                    rows.append((parts[0], dict(p.split("=", 1) for p in parts[1:] if "=" in p)))
    except OSError:
        pass
    return rows


def suite_tests(results, word):
    """The count of tests a suite's log reports as passed."""
    try:
        with open(os.path.join(results, "suite-%s.log" % word)) as f:
            text = f.read()
    except OSError:
        return "-"
    m = re.search(r"tests passed, \d+ tests failed out of (\d+)", text)  # ctest
    if m:
        return m.group(1)
    m = re.search(r"(\d+) passed", text)  # pytest
    skipped = re.search(r"(\d+) skipped", text)
    if m or skipped:
        return "%s%s" % (m.group(1) if m else "0", " (%s skipped)" % skipped.group(1) if skipped else "")
    return "-"


def machine(build):
    cpu = "unknown CPU"
    flags = ""
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name") and cpu == "unknown CPU":
                cpu = line.split(":", 1)[1].strip()
            if line.startswith("flags") and not flags:
                flags = line
    virt = ", virtual machine" if " hypervisor" in flags else ""
    mem = 0
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemTotal:"):
                mem = int(line.split()[1]) // 1024
    osname = platform.system()
    try:
        with open("/etc/os-release") as f:
            for line in f:
                if line.startswith("PRETTY_NAME="):
                    osname = line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass
    cxx, btype = "c++", ""
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith("CMAKE_CXX_COMPILER:"):
                    cxx = line.split("=", 1)[1].strip()
                if line.startswith("CMAKE_BUILD_TYPE:"):
                    btype = line.split("=", 1)[1].strip()
    except OSError:
        pass
    try:
        ver = subprocess.run([cxx, "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        ver = cxx
    return "%s, %d cores%s, %d MiB RAM; %s, Linux %s; %s (%s)" % (
        cpu, os.cpu_count() or 0, virt, mem, osname, platform.release(), ver, btype)


def size_name(n):
    return "%d MiB" % (n // MIB) if n % MIB == 0 else "%d B" % n


def main():
    results, build = sys.argv[1], sys.argv[2]
    budgets = []  # (what, measured text, limit text, margin text, ok)

    print("Machine: " + machine(build))

    crc = load_json(os.path.join(results, "crc.json"))
    clock = bench(crc, "BM_clock")
    ns_per_cycle = 1e9 / clock["items_per_second"] if clock else None
    if ns_per_cycle:
        print("Core clock (dependent one-cycle adds): %.2f GHz" % (1 / ns_per_cycle))
    instr = callgrind(os.path.join(results, "callgrind", "crc.out*"))

    print()
    print("| Checksum | Size | MiB/s | cycles/byte | instructions/byte | x %d-cycle chain | x %d-cycle chain |"
          % (CHAIN_SERIAL, CHAIN_AHEAD))
    print("|---|---|---:|---:|---:|---:|---:|")
    for name, label, tag in (("BM_gen_crc", "gen_crc", "gen_crc"),
                             ("BM_zlib_crc32", "zlib crc32", "zlib")):
        for size in (MIB, 64 * MIB):
            b = bench(crc, "%s/%d" % (name, size))
            ins = instr.get("%s/%d" % (tag, size))
            cells = ["-"] * 5
            if b:
                bps = b["bytes_per_second"]
                cells[0] = "%.1f" % (bps / MIB)
                if ns_per_cycle:
                    cyc = 1e9 / bps / ns_per_cycle
                    cells[1] = "%.2f" % cyc
                    if tag == "gen_crc":
                        cells[3] = "%.2f" % (cyc / CHAIN_SERIAL)
                        cells[4] = "%.2f" % (cyc / CHAIN_AHEAD)
            if ins:
                cells[2] = "%.2f" % (ins / size)
            print("| %s | %s | %s |" % (label, size_name(size), " | ".join(cells)))
    print()
    print("Chains: %d cycles/byte is 8 steps of shift, mask and xor in series; %d is 8 steps "
          "of shift and xor plus the byte's xor, each mask taken two steps ahead (gen_crc)."
          % (CHAIN_SERIAL, CHAIN_AHEAD))

    # Boot path: instructions against one gen_crc pass in the same run, and
    # the peak memory it adds to the process.
    boot_instr = callgrind(os.path.join(results, "callgrind", "boot.out*"))
    rss = {int(kv["size"]): kv for word, kv in key_values(os.path.join(results, "boot_rss.txt"))
           if word == "rss"}
    boot_time = load_json(os.path.join(results, "boot.json"))
    print()
    print("| Boot path | Image | instructions | x one gen_crc pass | time x gen_crc pass "
          "| peak RSS added | x (length + 16) |")
    print("|---|---|---:|---:|---:|---:|---:|")
    sizes = sorted({int(k.split("/")[1]) for k in boot_instr if k.startswith("boot/")} | set(rss))
    for size in sizes:
        length = size - 16
        ins = boot_instr.get("boot/%d" % size)
        one = boot_instr.get("gen_crc/%d" % size)
        ratio = ins / one if ins and one else None
        bt = bench(boot_time, "BM_boot/%d" % size)
        ct = bench(boot_time, "BM_boot_gen_crc/%d" % size)
        tratio = bt["cpu_time"] / ct["cpu_time"] if bt and ct else None
        r = rss.get(size)
        added = int(r["peak"]) - int(r["base"]) if r else None
        print("| launcher | %s | %s | %s | %s | %s | %s |" % (
            size_name(size), "{:,}".format(ins) if ins else "-",
            "%.5f" % ratio if ratio else "-", "%.3f" % tratio if tratio else "-",
            "%.2f MiB" % (added / MIB) if added is not None else "-",
            "%.3f" % (added / (length + 16)) if added is not None else "-"))
        if size == 64 * MIB:
            budgets.append(("boot instructions, 64 MiB image",
                            "%.5f x gen_crc" % ratio if ratio else "not measured",
                            "<= %.2f x" % BOOT_INSTR_BUDGET,
                            "%.1f%% of a pass to spare" % ((BOOT_INSTR_BUDGET - ratio) * 100) if ratio else "-",
                            bool(ratio) and ratio <= BOOT_INSTR_BUDGET))
            limit = length + 16 + BOOT_RSS_SLACK
            budgets.append(("boot peak RSS added, 64 MiB image",
                            "%d B" % added if added is not None else "not measured",
                            "<= %d B (length + 16 + 1 MiB)" % limit,
                            "%.2f MiB to spare" % ((limit - added) / MIB) if added is not None else "-",
                            added is not None and added <= limit))
    if rss:
        print()
        print("Time: CPU time of the process (kernel copies included, the unpacking child not). "
              "Resident memory: VmHWM over VmRSS before the pass (the benchmark process itself, %.2f MiB), "
              "from the kernel's per-CPU counters, good to about 0.25 MiB here."
              % (min(int(r["base"]) for r in rss.values()) / MIB))
    if not sizes:
        budgets.append(("boot instructions, 64 MiB image", "not measured", "<= 1.10 x", "-", False))
        budgets.append(("boot peak RSS added, 64 MiB image", "not measured", "<= length + 16 + 1 MiB", "-", False))

    # Flash: system calls per sector and time per MiB, 128 KiB sectors.
    calls = [(w, kv) for w, kv in key_values(os.path.join(results, "flash_calls.txt"))
             if w in ("write", "erase")]
    flash_time = load_json(os.path.join(results, "flash.json"))
    if calls:
        print()
        print("| Flash, 128 KiB sectors | range | sectors | pread/sector | MEMERASE/sector "
              "| pwrite/sector | bytes per pwrite | ms/MiB |")
        print("|---|---|---:|---:|---:|---:|---:|---:|")
    for word, kv in calls:
        sector, sectors = int(kv["sector"]), int(kv["sectors"])
        n = {k: int(kv[k]) for k in ("pread", "pread_bytes", "erase", "erase_bytes",
                                       "pwrite", "pwrite_bytes", "other")}
        b = bench(flash_time, "BM_flash_%s" % word)
        ms = "%.3f" % (1e3 * MIB / b["bytes_per_second"]) if b and kv["label"].startswith("4MiB@0") else ""
        piece = n["pwrite_bytes"] // n["pwrite"] if n["pwrite"] else 0
        print("| api_flash_%s | %s | %d | %g | %g | %g | %s | %s |" % (
            word, kv["label"], sectors, n["pread"] / sectors, n["erase"] / sectors,
            n["pwrite"] / sectors, piece or "-", ms))
        # Each sector: the whole sector read once, one MEMERASE of that
        # sector alone, sector_size / 1024 writes of 1024 bytes; an erase
        # only the MEMERASE.
        writes = word == "write"
        exact = (kv["result"] == "0" and n["other"] == 0 and
                 n["erase"] == sectors and n["erase_bytes"] == sectors * sector and
                 n["pread"] == (sectors if writes else 0) and
                 n["pread_bytes"] == (sectors * sector if writes else 0) and
                 n["pwrite"] == (sectors * sector // 1024 if writes else 0) and
                 n["pwrite_bytes"] == (sectors * sector if writes else 0))
        budgets.append(("flash %s %s: requests per sector" % (word, kv["label"]),
                        "%g pread, %g MEMERASE, %g pwrite" % (
                            n["pread"] / sectors, n["erase"] / sectors, n["pwrite"] / sectors),
                        "exactly %d, 1, %d" % ((1, sector // 1024) if writes else (0, 0)),
                        "exact" if exact else "off", exact))
    if not calls:
        budgets.append(("flash requests per sector", "not measured", "exact", "-", False))

    suite = {word: kv for word, kv in key_values(os.path.join(results, "suite.txt"))}
    if suite:
        print()
        print("| Test suite | tests | wall time |")
        print("|---|---:|---:|")
    for word, label in (("native", "unit tests, native (x86-64)"),
                        ("emulated", "unit tests, board build under qemu-ppc"),
                        ("vboard", "virtual board (QEMU system, serial console)")):
        if word not in suite:
            continue
        kv = suite[word]
        print("| %s | %s | %.1f s |" % (label, suite_tests(results, word), int(kv["ms"]) / 1e3))
        if kv["status"] != "ok":
            budgets.append(("test suite: " + label, "failed", "passes", "-", False))

    print()
    print("| Budget | measured | limit | margin | |")
    print("|---|---|---|---|---|")
    for what, got, limit, margin, ok in budgets:
        print("| %s | %s | %s | %s | %s |" % (what, got, limit, margin, "ok" if ok else "MISSED"))
    return 0 if all(b[4] for b in budgets) else 1


if __name__ == "__main__":
    sys.exit(main())

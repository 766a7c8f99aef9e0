#!/usr/bin/env python3
"""The conversion benchmark: kistwerk-cli against the floor of the same machine.

    python3 bench/run.py [--sizes 16M,1G] [--layouts interleaved,grouped-end,front,shuffled,...]
                         [--seed 1] [--repeat 3] [--label after] [--cold] [--threads 4]

Builds a Release tree in build/release, generates the PFC files with
`pfcgen synth` into build/benchmark (kept between runs), one per size and
layout (where the file keeps its table, nodes and records; every layout of a
size holds the same mails), and for each file measures, with the page cache warm:
  1. the conversion by kistwerk-cli: wall time, MB/s of input, messages/s,
     peak resident memory, user and system time, and the bytes and read calls
     it took from the kernel (through `pfcrun`);
  2. the floor: `cat FILE > /dev/null`, plus the time zlib needs to inflate the
     file's compressed chunks, plus the time to write as many bytes as the
     mailbox file has;
  3. the ratio of 1 to 2.
With --cold (as root, on Linux with the cgroup v1 blkio controller) it also
times, for each file, `cat FILE` and the conversion with the page cache dropped
and the disk held to what a hard disk or a USB stick gives (--iops, --bps; 300
reads a second and 150 MB/s by default), and their ratio.
It checks that every layout of a size gives the same mailbox file, prints a
table and writes the figures to build/benchmark/results.json (and
results-LABEL.json with --label).
"""

import argparse
import datetime
import hashlib
import json
import os
import platform
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MiB = 1024 * 1024

# Targets the benchmark reports against.
MAX_RATIO = 1.5
MAX_RSS_MIB = 16.0
MAX_GROWTH = 70.0
MAX_LAYOUT_SPREAD = 1.15  # slowest layout against the fastest, same size
MAX_COLD_RATIO = 1.6      # cold conversion against the cold sequential read, any layout
MAX_COLD_RATIO_IN_ORDER = 1.3  # the same for the layouts whose records follow the walk
IN_ORDER = ("front", "interleaved", "grouped-end")
MIN_BYTES_PER_READ = 4096  # at most one read call per 4 KiB of the file, warm

LAYOUTS = ("interleaved", "grouped-end", "front", "shuffled", "folders-interleaved")
CGROUP = "/sys/fs/cgroup/blkio/kistwerk-bench"


def parse_size(text):
    units = {"K": 1024, "M": MiB, "G": 1024 * MiB}
    if text[-1].upper() in units:
        return int(round(float(text[:-1]) * units[text[-1].upper()]))
    return int(text)


def run_checked(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def build(build_dir):
    run_checked(["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                 "-DKISTWERK_TESTS=OFF"], stdout=subprocess.DEVNULL)
    run_checked(["cmake", "--build", build_dir, "-j", "2", "--target", "kistwerk-cli", "pfcgen", "pfcfloor",
                 "pfcrun"], stdout=subprocess.DEVNULL)


GENERATOR_VERSION = 2  # as kGeneratorVersion in testkit/synth.cpp


def generate(pfcgen, size_text, seed, layout, work_dir):
    path = os.path.join(work_dir, "synth-%s-seed%d-%s.pfc" % (size_text, seed, layout))
    manifest = path + ".json"
    try:
        with open(manifest) as f:
            info = json.load(f)
        fresh = (info.get("generator") == GENERATOR_VERSION and info["target_bytes"] == parse_size(size_text)
                 and info["seed"] == seed and info.get("layout", "interleaved") == layout
                 and os.path.getsize(path) == info["file_bytes"])
    except (OSError, ValueError, KeyError):
        fresh = False
    if not fresh:
        print("generating %s ..." % path, file=sys.stderr)
        run_checked([pfcgen, "synth", "--size", size_text, "--seed", str(seed), "--layout", layout, path],
                    stdout=subprocess.DEVNULL)
    with open(manifest) as f:
        return path, json.load(f)


def run_measured(pfcrun, cmd, cold=False):
    """Wall, user and system seconds, peak resident memory (KiB) and the bytes
    and read calls taken from the kernel, of one run of `cmd`; with `cold`, in
    the throttled cgroup after the page cache is dropped."""
    if cold:
        subprocess.run(["sync"], check=True)
        with open("/proc/sys/vm/drop_caches", "w") as f:
            f.write("3\n")
        # The programs themselves come back into the cache first: what is
        # timed is the reading of the file, not the loading of a program.
        subprocess.run([cmd[0], "--version"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([pfcrun, "sh", "-c", "true"], stdout=subprocess.DEVNULL)
        cmd = ["sh", "-c", 'echo $$ > %s/cgroup.procs && exec "$@"' % CGROUP, "sh"] + cmd
    out = subprocess.run([pfcrun] + cmd, check=True, stdout=subprocess.PIPE).stdout
    figures = json.loads(out)
    # kistwerk-cli ends with 3 when it skipped damaged items, as generated files hold.
    if figures["status"] not in (0, 3):
        raise RuntimeError("%s failed (%d)" % (" ".join(cmd), figures["status"]))
    return figures


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def helper_seconds(cmd):
    out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE).stdout
    return json.loads(out)


def remove(path):
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def throttle(path, iops, bps):
    """Sets up the cgroup that holds reads of the disk under `path` to `iops`
    and `bps`; an error text when this machine cannot."""
    if os.geteuid() != 0:
        return "not root"
    if not os.path.isdir(os.path.dirname(CGROUP)):
        return "no blkio controller (cgroup v1)"
    dev = os.stat(path).st_dev
    disk = "%d:%d" % (os.major(dev), os.minor(dev))
    try:
        os.makedirs(CGROUP, exist_ok=True)
        with open(os.path.join(CGROUP, "blkio.throttle.read_iops_device"), "w") as f:
            f.write("%s %d\n" % (disk, iops))
        with open(os.path.join(CGROUP, "blkio.throttle.read_bps_device"), "w") as f:
            f.write("%s %d\n" % (disk, bps))
    except OSError as e:
        return "cannot throttle %s: %s" % (disk, e)
    return None


def measure_cold(tools, path, out_dir, repeat):
    cli, pfcrun = tools["cli"], tools["run"]
    mbx = os.path.join(out_dir, os.path.basename(path)[:-4] + "-cold.mbx")
    cats, runs = [], []
    for _ in range(repeat):
        cats.append(run_measured(pfcrun, ["cat", path], cold=True)["seconds"])
        remove(mbx)
        runs.append(run_measured(pfcrun, [cli, "-q", "-o", mbx, path], cold=True))
    mailbox_hash = sha256_of(mbx)
    remove(mbx)
    best = min(runs, key=lambda r: r["seconds"])
    cat = min(cats)
    return {"cold_cat_seconds": cat, "cold_seconds": best["seconds"], "cold_runs": [r["seconds"] for r in runs],
            "cold_ratio": best["seconds"] / cat, "cold_mailbox_sha256": mailbox_hash,
            "cold_peak_rss_mib": best["peak_rss_kib"] / 1024.0}


def measure(tools, size_text, path, info, out_dir, repeat):
    cli, floor, pfcrun = tools["cli"], tools["floor"], tools["run"]
    mbx = os.path.join(out_dir, os.path.basename(path)[:-4] + ".mbx")
    scratch = os.path.join(out_dir, "floor-write.bin")

    # Warm the page cache with the input.
    subprocess.run(["cat", path], check=True, stdout=subprocess.DEVNULL)

    # Conversion and floor write alternate, each after removing its last output
    # and a sync, so both meet the same state of the file system.
    runs, writes = [], []
    out_bytes = None
    for _ in range(repeat):
        remove(mbx)
        os.sync()
        runs.append(run_measured(pfcrun, [cli, "-q", "-o", mbx, path]))
        out_bytes = os.path.getsize(mbx)
        remove(scratch)
        os.sync()
        writes.append(helper_seconds([floor, "write", str(out_bytes), scratch])["seconds"])
    remove(scratch)
    write = min(writes)
    mailbox_hash = sha256_of(mbx)
    remove(mbx)

    cat = min(run_measured(pfcrun, ["cat", path])["seconds"] for _ in range(repeat))
    # zlib's share of the floor is timed the way the conversion inflates (one
    # raw stream, reset per chunk, each chunk inflated once, right after it is
    # read); the one-shot uncompress figure, from a pass of its own, is kept beside it.
    inflates = [helper_seconds([floor, "inflate", path]) for _ in range(repeat)]
    inflate = min(r["seconds"] for r in inflates)
    uncompress_s = min(r["uncompress_seconds"] for r in inflates)

    best_run = min(runs, key=lambda r: r["seconds"])
    best = best_run["seconds"]
    floor_s = cat + inflate + write
    messages = info["expected_entries"]
    return {
        "file": os.path.relpath(path, ROOT),
        "size": size_text,
        "layout": info.get("layout", "interleaved"),
        "input_bytes": info["file_bytes"],
        "output_bytes": out_bytes,
        "mailbox_sha256": mailbox_hash,
        "messages": messages,
        "chunks": info["chunks"],
        "conversion_seconds": best,
        "conversion_runs": [r["seconds"] for r in runs],
        "user_seconds": best_run["user_seconds"],
        "system_seconds": best_run["system_seconds"],
        "read_bytes": max(r["read_bytes"] for r in runs),
        "read_calls": max(r["read_calls"] for r in runs),
        "read_factor": max(r["read_bytes"] for r in runs) / info["file_bytes"],
        "bytes_per_read": info["file_bytes"] / max(r["read_calls"] for r in runs),
        "floor_write_runs": writes,
        "output_dir": out_dir,
        "input_mb_per_s": info["file_bytes"] / MiB / best,
        "messages_per_s": messages / best,
        "peak_rss_mib": max(r["peak_rss_kib"] for r in runs) / 1024.0,
        "floor_cat_seconds": cat,
        "floor_inflate_seconds": inflate,
        "uncompress_seconds": uncompress_s,
        "floor_write_seconds": write,
        "floor_seconds": floor_s,
        "ratio": best / floor_s,
        "ratio_uncompress_floor": best / (cat + uncompress_s + write),
    }


def print_table(label, rows):
    head = ("file", "in MiB", "out MiB", "msgs", "conv s", "MiB/s", "msg/s", "RSS MiB", "read/size", "reads",
            "user s", "sys s", "cat s", "zlib s", "write s", "floor s", "ratio", "ratio/u")
    fmt = "%-38s %7s %7s %7s %7s %6s %7s %7s %9s %7s %6s %6s %6s %6s %7s %7s %6s %7s"
    print("Benchmark%s" % (" (" + label + ")" if label else ""))
    print(fmt % head)
    for r in rows:
        print(fmt % (os.path.basename(r["file"]), "%.1f" % (r["input_bytes"] / MiB), "%.1f" % (r["output_bytes"] / MiB),
                     r["messages"], "%.3f" % r["conversion_seconds"], "%.0f" % r["input_mb_per_s"],
                     "%.0f" % r["messages_per_s"], "%.1f" % r["peak_rss_mib"], "%.2f" % r["read_factor"],
                     r["read_calls"], "%.2f" % r["user_seconds"], "%.2f" % r["system_seconds"],
                     "%.3f" % r["floor_cat_seconds"], "%.3f" % r["floor_inflate_seconds"],
                     "%.3f" % r["floor_write_seconds"], "%.3f" % r["floor_seconds"], "%.2f" % r["ratio"],
                     "%.2f" % r["ratio_uncompress_floor"]))
    if any("cold_seconds" in r for r in rows):
        print()
        print("Cold, throttled (page cache dropped before each run)")
        cfmt = "%-38s %9s %9s %7s %9s %9s"
        print(cfmt % ("file", "cat s", "conv s", "ratio", "warm s", "RSS MiB"))
        for r in rows:
            if "cold_seconds" in r:
                print(cfmt % (os.path.basename(r["file"]), "%.2f" % r["cold_cat_seconds"], "%.2f" % r["cold_seconds"],
                              "%.2f" % r["cold_ratio"], "%.3f" % r["conversion_seconds"],
                              "%.1f" % r["cold_peak_rss_mib"]))
        print()
    print("read/size: bytes read from the kernel per byte of the file; reads: read calls; user s, sys s:")
    print("CPU time of the fastest run. ratio: against the floor with zlib timed as the conversion inflates")
    print("(one raw stream per run); ratio/u: against the floor with a one-shot uncompress per chunk.")


def verdicts(rows):
    checks = []
    growths = []
    for r in rows:
        name = os.path.basename(r["file"])
        # The ratio and read targets are set for the 1 GiB file; on small files
        # the process start weighs in and the figures are only shown.
        if r["input_bytes"] >= 1000 * MiB:
            checks.append(("%s: conversion <= %.1f x floor" % (name, MAX_RATIO), r["ratio"] <= MAX_RATIO))
        checks.append(("%s: peak RSS < %.0f MiB" % (name, MAX_RSS_MIB), r["peak_rss_mib"] < MAX_RSS_MIB))
        checks.append(("%s: at most one read call per %d bytes (%.0f)" % (name, MIN_BYTES_PER_READ,
                                                                         r["bytes_per_read"]),
                       r["bytes_per_read"] >= MIN_BYTES_PER_READ))
        if "cold_seconds" in r:
            most = MAX_COLD_RATIO_IN_ORDER if r["layout"] in IN_ORDER else MAX_COLD_RATIO
            checks.append(("%s: cold conversion <= %.1f x cold cat (%.2f)" % (name, most, r["cold_ratio"]),
                           r["cold_ratio"] <= most))
            checks.append(("%s: cold gives the warm mailbox" % name,
                           r["cold_mailbox_sha256"] == r["mailbox_sha256"]))
    layouts = sorted({r["layout"] for r in rows}, key=lambda name: LAYOUTS.index(name))
    for layout in layouts:
        own = sorted((r for r in rows if r["layout"] == layout), key=lambda r: r["input_bytes"])
        if len(own) < 2:
            continue
        small, large = own[0], own[-1]
        growth = {
            "layout": layout,
            "size_factor": large["input_bytes"] / small["input_bytes"],
            "time_factor": large["conversion_seconds"] / small["conversion_seconds"],
        }
        growths.append(growth)
        if abs(growth["size_factor"] - 64) < 2:
            checks.append(("%s: time(1G) <= %.0f x time(16M)" % (layout, MAX_GROWTH),
                           growth["time_factor"] <= MAX_GROWTH))
    for size in dict.fromkeys(r["size"] for r in rows):
        same = [r for r in rows if r["size"] == size]
        if len(same) < 2:
            continue
        checks.append(("%s: every layout gives the same mailbox" % size,
                       len({r["mailbox_sha256"] for r in same}) == 1))
        if min(r["input_bytes"] for r in same) >= 1000 * MiB:
            best = min(r["conversion_seconds"] for r in same)
            worst = max(r["conversion_seconds"] for r in same)
            checks.append(("%s: slowest layout <= %.2f x the fastest (%.2f)" % (size, MAX_LAYOUT_SPREAD, worst / best),
                           worst / best <= MAX_LAYOUT_SPREAD))
    return checks, growths


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="16M,1G", help="comma-separated sizes, smallest first (default 16M,1G)")
    ap.add_argument("--layouts", default=",".join(LAYOUTS),
                    help="comma-separated layouts (default %s)" % ",".join(LAYOUTS))
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--repeat", type=int, default=3, help="runs per measurement; the best counts")
    ap.add_argument("--label", default="", help="a name for this run, e.g. before or after")
    ap.add_argument("--build-dir", default=os.path.join(ROOT, "build", "release"))
    ap.add_argument("--work-dir", default=os.path.join(ROOT, "build", "benchmark"))
    ap.add_argument("--out-dir", help="where the mailbox files and the floor's write go (default --work-dir);"
                    " a tmpfs such as /dev/shm takes the disk's write-back out of both")
    ap.add_argument("--no-build", action="store_true", help="use the tools already in --build-dir")
    ap.add_argument("--cli", help="time this kistwerk-cli instead of the one in --build-dir (e.g. an older build)")
    ap.add_argument("--cold", action="store_true", help="also time cold, throttled runs (root, cgroup v1 blkio)")
    ap.add_argument("--cold-repeat", type=int, default=0, help="cold runs per measurement (default --repeat)")
    ap.add_argument("--iops", type=int, default=300, help="reads a second the throttled disk gives")
    ap.add_argument("--bps", type=int, default=150000000, help="bytes a second the throttled disk gives")
    ap.add_argument("--threads", type=int, default=0, help="converting threads (KISTWERK_THREADS); 0: as the machine")
    args = ap.parse_args()
    if args.threads > 0:
        os.environ["KISTWERK_THREADS"] = str(args.threads)

    layouts = args.layouts.split(",")
    for layout in layouts:
        if layout not in LAYOUTS:
            sys.exit("bench: unknown layout %s (known: %s)" % (layout, ", ".join(LAYOUTS)))
    os.makedirs(args.work_dir, exist_ok=True)
    if not args.no_build:
        build(args.build_dir)
    tools = {
        "cli": os.path.abspath(args.cli) if args.cli else os.path.join(args.build_dir, "kistwerk-cli"),
        "gen": os.path.join(args.build_dir, "bench", "pfcgen"),
        "floor": os.path.join(args.build_dir, "bench", "pfcfloor"),
        "run": os.path.join(args.build_dir, "bench", "pfcrun"),
    }

    out_dir = args.out_dir or args.work_dir
    os.makedirs(out_dir, exist_ok=True)
    rows = []
    cold_refused = None
    for size_text in args.sizes.split(","):
        for layout in layouts:
            path, info = generate(tools["gen"], size_text, args.seed, layout, args.work_dir)
            row = measure(tools, size_text, path, info, out_dir, args.repeat)
            if args.cold and cold_refused is None:
                cold_refused = throttle(path, args.iops, args.bps)
            if args.cold and cold_refused is None:
                row.update(measure_cold(tools, path, out_dir, args.cold_repeat or args.repeat))
            rows.append(row)
    if cold_refused:
        print("cold runs left out: %s" % cold_refused)

    print_table(args.label, rows)
    checks, growths = verdicts(rows)
    for growth in growths:
        print("growth (%s): %.1f x the input, %.1f x the time" % (growth["layout"], growth["size_factor"],
                                                                  growth["time_factor"]))
    for text, ok in checks:
        print("%-4s %s" % ("ok" if ok else "MISS", text))

    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], stdout=subprocess.PIPE,
                            text=True).stdout.strip()
    result = {
        "label": args.label,
        "commit": commit,
        "cli": tools["cli"],
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
        "machine": {"cpus": os.cpu_count(), "system": platform.platform(), "load_average": os.getloadavg()},
        "repeat": args.repeat,
        "threads": args.threads,
        "throttle": {"iops": args.iops, "bps": args.bps} if args.cold and not cold_refused else None,
        "results": rows,
        "growth": growths,
        "checks": [{"check": t, "ok": ok} for t, ok in checks],
    }
    names = ["results.json"] + (["results-%s.json" % args.label] if args.label else [])
    for name in names:
        with open(os.path.join(args.work_dir, name), "w") as f:
            json.dump(result, f, indent=2)
    print("cores: %d; load average at the end: %.2f %.2f %.2f" % ((os.cpu_count(),) + os.getloadavg()))
    print("figures: %s" % os.path.join(args.work_dir, names[-1]))


if __name__ == "__main__":
    main()

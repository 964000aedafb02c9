#!/usr/bin/env python3
"""The real launcher's planet-content download against curl, on the stand-in servers.

Run by bench/launcher-download-bench.sh inside a network namespace of its own (the router's
fixed 127.0.0.1:30584 is then this run's alone). For every set it makes a planet site with
make-site (one planet, "required", so the launcher fetches it right after start-up), one
installation whose client is already current (no client update runs), and serves both with
the stand-in server and router. Each run:

  ours  the release launcher, offscreen, with private settings (language chosen and the
        download thread count set in the user hive; the terms dialog is skipped with --quiet),
        from its start until every planet file is in its archives on disk: the end records of
        the ".pak" archives count every entry and no archive has an unflushed marker, then a
        syncfs of the output volume. Afterwards its archives are read again and every entry
        is checked against the site (present, stored size, CRC-32 of the stored bytes).
  curl  curl --parallel --parallel-max 12 on the same files into plain files, ending with a
        syncfs of the output volume; every file's size and CRC-32 are checked afterwards.

Memory of ours, from /proc/PID/status (the browser engine's own processes are not counted):
idle_rss is VmRSS at the last sample (every 20 ms) before the stand-in server logged the first
planet-file request, so after the start-up and the client check; peak_rss is VmHWM and
rss_after VmRSS, both 3 s after the download was complete. cpu is user + system time from
/proc/PID/stat at completion (cpu_end: 3 s later, with the launcher's tidy-up after the
download); first_request is the time from the start to the first planet-file request.

The order of the two is rotated from run to run. Last, per set, the ratios of the runs:
throughput ours/curl (curl's wall time over ours; higher is faster for us), CPU and peak
resident memory ours/curl (lower is leaner for us).
"""

import argparse
import ctypes
import os
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zipfile
import zlib

SETS = {
    # name: (file count, file size)
    "1kib": (60000, 1 << 10),
    "8kib": (10000, 8 << 10),
    "1mib": (2000, 1 << 20),
}
FILES_PER_FOLDER = 1000
SITE_VERSION = "1.0.0.1"
TERRITORY = "bench"
POLL_S = 0.02           # memory samples and the completion check
SETTLE_S = 3.0          # after the download, before the resident memory is sampled again
RUN_LIMIT_S = 240.0     # a run that takes longer fails
MB = 1e6

_libc = ctypes.CDLL(None, use_errno=True)


def syncfs(folder):
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        if _libc.syncfs(fd) != 0:
            raise OSError(ctypes.get_errno(), "syncfs " + folder)
    finally:
        os.close(fd)


def fail(text):
    print("launcher-download-bench: " + text, file=sys.stderr, flush=True)
    sys.exit(1)


# ---- /proc --------------------------------------------------------------------------------

def proc_status_kb(pid, field):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def proc_cpu_seconds(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            text = f.read()
    except OSError:
        return 0.0
    fields = text[text.rfind(")") + 2:].split()
    # fields[0] is the state (field 3); utime and stime are fields 14 and 15.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


# ---- The site and the installation ----------------------------------------------------------

def content_name(set_name, k):
    return "%s/%s/d%02d/f%05d.dat" % (TERRITORY, set_name, k // FILES_PER_FOLDER, k)


def make_set(tools, work, set_name):
    """Writes the planet files, the site and the client folder; returns the expected entries
    {content name: (stored size, stored CRC-32, served path)}."""
    count, size = SETS[set_name]
    planets = os.path.join(work, "planets")
    for k in range(count):
        path = os.path.join(planets, content_name(set_name, k))
        if k % FILES_PER_FOLDER == 0:
            os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(os.urandom(size))

    client = os.path.join(work, "site-client")
    for bits in ("bin64", "bin32"):
        os.makedirs(os.path.join(client, bits), exist_ok=True)
        shutil.copy2(os.path.join(tools, "solvenda-client", "Solvenda"), os.path.join(client, bits, "Solvenda"))
    shutil.copy2(os.path.join(tools, "updater", "SolvendaUpdater"), os.path.join(client, "bin32", "SolvendaUpdater"))
    with open(os.path.join(client, "version.txt"), "w") as f:
        f.write(SITE_VERSION + "\n")
    site = os.path.join(work, "site")
    subprocess.run([os.path.join(tools, "make-site", "make-site"), "--client", client, "--out", site,
                    "--version", SITE_VERSION, "--planets", planets, "--required", TERRITORY + "/" + set_name],
                   check=True, stdout=subprocess.DEVNULL)
    shutil.rmtree(planets)

    expected = {}
    served_root = os.path.join(site, "dynamic_content")
    for folder, _, files in os.walk(served_root):
        for file in files:
            path = os.path.join(folder, file)
            rel = os.path.relpath(path, served_root).replace("\\", "/")
            name, _, crc = rel.rpartition("_")
            expected[name.lower()] = (os.path.getsize(path), int(crc), "dynamic_content/" + rel)
    if len(expected) != count:
        fail("the site holds %d planet files, not %d" % (len(expected), count))
    return client, site, expected


def write_hives(config, threads, content_parent):
    os.makedirs(config, exist_ok=True)
    for name in ("user-hive.txt", "machine-hive.txt", "user-hive.txt.lock", "machine-hive.txt.lock"):
        try:
            os.remove(os.path.join(config, name))
        except FileNotFoundError:
            pass
    base = "SOFTWARE\\Corvane\\localhost"  # the installation's site name is "localhost"
    user = os.path.join(config, "user-hive.txt")
    with open(user, "w") as f:
        f.write("[%s\\Language]\n\"Language\"=dword:00000001\n\n" % base)
        f.write("[%s\\Connection]\n\"DownloadThreadCount\"=dword:%08x\n" % (base, threads))
    os.chmod(user, 0o600)
    with open(os.path.join(config, "machine-hive.txt"), "w") as f:
        if content_parent:
            f.write("[%s]\n\"PublicUsersDataParentFolder\"=\"%s\"\n" % (base, content_parent))


# ---- Stand-in servers ---------------------------------------------------------------------

def start_standin(argv, log_path):
    log = open(log_path, "wb")
    process = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
    log.close()
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        with open(log_path, "rb") as f:
            for line in f:
                if line.startswith(b"listening on "):
                    return process, line[len(b"listening on "):].decode().strip()
        if process.poll() is not None:
            fail("%s did not start (see %s)" % (argv[0], log_path))
        time.sleep(0.05)
    fail("%s did not come up within 10 s" % argv[0])


def stop(process, limit=10.0):
    if process is None or process.poll() is not None:
        return
    try:
        os.killpg(process.pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    try:
        process.wait(limit)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()


# ---- Archives -----------------------------------------------------------------------------

def end_record_entries(path):
    """The entry count of a flushed archive's end record, or None while none is whole."""
    try:
        with open(path, "rb") as f:
            f.seek(0, os.SEEK_END)
            size = f.tell()
            tail_start = max(0, size - 256)
            f.seek(tail_start)
            tail = f.read()
    except OSError:
        return None
    at = tail.rfind(b"PK\x05\x06")
    if at < 0 or len(tail) - at < 22:
        return None
    _, _, _, entries, dir_size, dir_offset, comment = struct.unpack("<HHHHIIH", tail[at + 4:at + 22])
    if tail_start + at + 22 + comment != size or dir_offset + dir_size != tail_start + at:
        return None
    return entries


def content_complete(folder, count):
    try:
        names = os.listdir(folder)
    except FileNotFoundError:
        return False
    if any(n.endswith(".unflushed") for n in names):
        return False
    total = 0
    for n in names:
        if n.endswith(".pak"):
            entries = end_record_entries(os.path.join(folder, n))
            if entries is None:
                return False
            total += entries
    return total == count


def check_archives(folder, expected):
    """Every expected entry once in the archives, with its stored size and the CRC-32 of its
    stored bytes; returns a list of faults (empty when all is well)."""
    faults = []
    seen = set()
    for n in sorted(os.listdir(folder)):
        if not n.endswith(".pak"):
            continue
        path = os.path.join(folder, n)
        with zipfile.ZipFile(path) as archive, open(path, "rb") as raw:
            for info in archive.infolist():
                name = info.filename.replace("\\", "/").lower()
                want = expected.get(name)
                if want is None:
                    faults.append("%s: unexpected entry %s" % (n, info.filename))
                    continue
                if name in seen:
                    faults.append("%s: %s twice" % (n, name))
                seen.add(name)
                raw.seek(info.header_offset)
                header = raw.read(30)
                if header[:4] != b"PK\x03\x04":
                    faults.append("%s: no local header for %s" % (n, name))
                    continue
                name_len, extra_len = struct.unpack("<HH", header[26:30])
                raw.seek(info.header_offset + 30 + name_len + extra_len)
                data = raw.read(info.compress_size)
                if len(data) != want[0] or info.compress_size != want[0]:
                    faults.append("%s: %s has %d bytes, not %d" % (n, name, len(data), want[0]))
                elif zlib.crc32(data) != want[1]:
                    faults.append("%s: %s has the wrong CRC-32" % (n, name))
    missing = len(expected) - len(seen)
    if missing:
        faults.append("%d entries missing" % missing)
    return faults


def check_plain_files(folder, expected):
    faults = 0
    for name, (size, crc, _) in expected.items():
        try:
            with open(os.path.join(folder, name), "rb") as f:
                data = f.read()
        except OSError:
            faults += 1
            continue
        if len(data) != size or zlib.crc32(data) != crc:
            faults += 1
    return faults


# ---- Runs ---------------------------------------------------------------------------------

class ServerLog:
    """Follows the stand-in server's request log from the start of a run: whether a planet file
    was requested yet, and how many update packages were (none while the client is current)."""

    def __init__(self, path):
        self.file = open(path, "rb")
        self.file.seek(0, os.SEEK_END)
        self.pending = b""
        self.packages = 0

    def content_requested(self):
        chunk = self.file.read()
        if not chunk:
            return False
        lines = (self.pending + chunk).split(b"\n")
        self.pending = lines.pop()
        targets = [line.split(b" agent=")[0] for line in lines]
        self.packages += sum(1 for t in targets if b"/client_files/" in t)
        return any(b"/dynamic_content/" in t for t in targets)

    def close(self):
        self.file.close()


def run_ours(env, ctx, set_name):
    count, _ = SETS[set_name]
    install, content, out_root = ctx["install"], ctx["content"], ctx["out_root"]
    shutil.rmtree(os.path.join(ctx["content_parent"], "public_users_data"), ignore_errors=True)
    shutil.rmtree(ctx["home"], ignore_errors=True)
    os.makedirs(ctx["home"])
    write_hives(ctx["config"], ctx["threads"], ctx["content_parent_setting"])
    os.sync()

    server_log = ServerLog(ctx["server_log"])
    log = open(os.path.join(ctx["work"], "launcher-%s.log" % set_name), "ab")
    args = ["./Trailstarter", "--quiet"] + ctx["parameters"]
    start = time.monotonic()
    launcher = subprocess.Popen(args, cwd=install, env=env, stdout=log, stderr=subprocess.STDOUT,
                                start_new_session=True)
    log.close()
    pid = launcher.pid
    idle_rss = 0
    first_request = None
    done = None
    cpu_done = 0.0
    try:
        while True:
            now = time.monotonic()
            if now - start > RUN_LIMIT_S:
                return {"ok": False, "why": "not complete within %d s" % RUN_LIMIT_S}
            if launcher.poll() is not None:
                return {"ok": False, "why": "the launcher ended with %s" % launcher.returncode}
            rss = proc_status_kb(pid, "VmRSS")
            if first_request is None:
                if server_log.content_requested():
                    first_request = now - start
                else:
                    idle_rss = rss
            if first_request is not None and content_complete(content, count):
                cpu_done = proc_cpu_seconds(pid)
                syncfs(out_root)
                done = time.monotonic() - start
                break
            time.sleep(POLL_S)
        time.sleep(SETTLE_S)
        rss_after = proc_status_kb(pid, "VmRSS")
        peak = proc_status_kb(pid, "VmHWM")
        cpu_end = proc_cpu_seconds(pid)
        alive = launcher.poll() is None
        server_log.content_requested()
    finally:
        server_log.close()
        stop(launcher)
    if not alive:
        return {"ok": False, "why": "the launcher ended after the download"}
    faults = check_archives(content, ctx["expected"])
    result = {"ok": not faults, "why": "; ".join(faults[:5]), "wall": done, "cpu": cpu_done, "cpu_end": cpu_end,
              "first_request": first_request, "idle_rss": idle_rss * 1024 / MB, "peak_rss": peak * 1024 / MB,
              "rss_after": rss_after * 1024 / MB, "packages": server_log.packages}
    return result


def run_curl(ctx, set_name):
    out = ctx["curl_out"]
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    os.sync()
    argv = ["curl", "--silent", "--show-error", "--fail", "--create-dirs", "--parallel", "--parallel-max", "12",
            "--config", ctx["curl_config"]]
    log = open(os.path.join(ctx["work"], "curl-%s.log" % set_name), "ab")
    start = time.monotonic()
    process = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT)
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    syncfs(ctx["out_root"])
    wall = time.monotonic() - start
    log.close()
    faults = check_plain_files(out, ctx["expected"])
    shutil.rmtree(out, ignore_errors=True)
    ok = process.returncode == 0 and faults == 0
    return {"ok": ok, "why": "curl ended with %d, %d files wrong" % (process.returncode, faults), "wall": wall,
            "cpu": usage.ru_utime + usage.ru_stime, "peak_rss": usage.ru_maxrss * 1024 / MB}


def ratios(values):
    return "%.2f %.2f %.2f" % (min(values), statistics.median(values), max(values))


def bench_set(build, base_work, set_name, runs, threads, out_base):
    tools = os.path.join(build, "tools")
    count, size = SETS[set_name]
    work = tempfile.mkdtemp(prefix="launcherbench-%s-" % set_name, dir=base_work)
    out_root = tempfile.mkdtemp(prefix="launcherbench-out-%s-" % set_name, dir=out_base) if out_base else work
    print("%s: making the site (%d files of %d bytes) ..." % (set_name, count, size), flush=True)
    made = time.monotonic()
    client, site, expected = make_set(tools, work, set_name)
    print("%s: site made in %.0f s" % (set_name, time.monotonic() - made), flush=True)

    # The installation: the site's client as it is (already current) with the launcher beside it.
    install = os.path.join(work, "install")
    shutil.copytree(client, install)
    shutil.copy2(os.path.join(build, "launcher", "Trailstarter"), os.path.join(install, "Trailstarter"))
    with open(os.path.join(install, "site.txt"), "w") as f:
        f.write("localhost")
    shutil.rmtree(client)

    content_parent = out_root if out_base else install
    ctx = {"work": work, "install": install, "out_root": out_root, "threads": threads, "expected": expected,
           "content_parent": content_parent, "content_parent_setting": out_root if out_base else "",
           "content": os.path.join(content_parent, "public_users_data", "dynamic_content"),
           "config": os.path.join(work, "config"), "home": os.path.join(work, "home"),
           "server_log": os.path.join(work, "requests.log"), "curl_out": os.path.join(out_root, "curl")}

    server = router = None
    try:
        server, address = start_standin([os.path.join(tools, "standin-server", "standin-server"), "--root", site,
                                         "--listen", "127.0.0.1:0", "--log", ctx["server_log"]],
                                        os.path.join(work, "standin-server.log"))
        url = "http://%s/" % address
        with open(os.path.join(site, "download_servers.xml"), "w") as f:
            f.write('<?xml version="1.0"?>\n<downloadServers>\n  <downloadServer>%s</downloadServer>\n'
                    '</downloadServers>\n' % url)
        router, _ = start_standin([os.path.join(tools, "standin-router", "standin-router"), "--listen",
                                   "127.0.0.1:30584", "--version", SITE_VERSION],
                                  os.path.join(work, "standin-router.log"))
        ctx["parameters"] = ["web.update.url=" + url, "web.terms.url=" + url, "web.news.host=" + address,
                             "crash.report_url=%scrashreport.xml" % url]
        ctx["curl_config"] = os.path.join(work, "curl.txt")
        with open(ctx["curl_config"], "w") as f:
            for name, (_, _, served) in expected.items():
                f.write('url = "%s%s"\noutput = "%s"\n' % (url, served, os.path.join(ctx["curl_out"], name)))

        env = dict(os.environ)
        env.update({"QT_QPA_PLATFORM": "offscreen", "HOME": ctx["home"],
                    "XDG_CONFIG_HOME": os.path.join(ctx["home"], ".config"),
                    "XDG_DATA_HOME": os.path.join(ctx["home"], ".local", "share"),
                    "XDG_CACHE_HOME": os.path.join(ctx["home"], ".cache"),
                    "TRAILSTARTER_USER_HIVE": os.path.join(ctx["config"], "user-hive.txt"),
                    "TRAILSTARTER_MACHINE_HIVE": os.path.join(ctx["config"], "machine-hive.txt")})
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        env.pop("SOLVENDA_STANDIN_RECORD", None)
        if os.getuid() == 0:
            # The browser engine's sandbox needs user namespaces that a root run lacks.
            env["QTWEBENGINE_DISABLE_SANDBOX"] = "1"
            env["QTWEBENGINE_CHROMIUM_FLAGS"] = "--no-sandbox " + env.get("QTWEBENGINE_CHROMIUM_FLAGS", "")

        total_mb = count * size / MB
        pairs = []
        for run in range(1, runs + 1):
            order = ("ours", "curl") if run % 2 == 1 else ("curl", "ours")
            results = {}
            for side in order:
                r = run_ours(env, ctx, set_name) if side == "ours" else run_curl(ctx, set_name)
                results[side] = r
                if not r["ok"]:
                    fail("%s run %d %s failed: %s (logs in %s)" % (set_name, run, side, r["why"], work))
                line = "run %d %s %-4s wall %6.2f s  %7.1f MB/s  %7.0f files/s  cpu %5.2f s  peak_rss %6.1f MB" % (
                    run, set_name, side, r["wall"], total_mb / r["wall"], count / r["wall"], r["cpu"], r["peak_rss"])
                if side == "ours":
                    line += "  idle_rss %5.1f MB  rss_after %5.1f MB  first_request %.2f s  cpu_end %.2f s" % (
                        r["idle_rss"], r["rss_after"], r["first_request"], r["cpu_end"])
                    line += "  update packages %d  archives ok" % r["packages"]
                else:
                    line += "  files ok"
                print(line, flush=True)
            pairs.append((results["ours"], results["curl"]))
    finally:
        stop(router)
        stop(server)
        shutil.rmtree(work, ignore_errors=True)
        if out_root != work:
            shutil.rmtree(out_root, ignore_errors=True)
    return pairs


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True, help="the release build folder")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--threads", type=int, default=12, help="Connection\\DownloadThreadCount of the launcher")
    parser.add_argument("sets", nargs="*", default=list(SETS), help="of " + ", ".join(SETS))
    a = parser.parse_args()
    for s in a.sets:
        if s not in SETS:
            fail("unknown set %s (known: %s)" % (s, ", ".join(SETS)))
    if a.runs < 1 or not 1 <= a.threads <= 32:
        fail("--runs must be at least 1 and --threads 1 to 32")
    base_work = os.environ.get("TMPDIR") or "/tmp"
    out_base = os.environ.get("CONTENT_BENCH_OUT") or None

    summary = []
    for s in a.sets:
        pairs = bench_set(os.path.abspath(a.build), base_work, s, a.runs, a.threads, out_base)
        summary.append((s, pairs))
    print("threads %d, output on %s" % (a.threads, out_base or base_work))
    for s, pairs in summary:
        print("%s ours/curl %s" % (s, ratios([c["wall"] / o["wall"] for o, c in pairs])))
        print("%s cpu ours/curl %s" % (s, ratios([o["cpu"] / c["cpu"] for o, c in pairs])))
        print("%s peak_rss ours/curl %s" % (s, ratios([o["peak_rss"] / c["peak_rss"] for o, c in pairs])))
        print("%s ours idle_rss %.1f MB, peak_rss %.1f MB, rss_after %.1f MB (medians)" % (
            s, statistics.median(o["idle_rss"] for o, _ in pairs), statistics.median(o["peak_rss"] for o, _ in pairs),
            statistics.median(o["rss_after"] for o, _ in pairs)))


if __name__ == "__main__":
    main()

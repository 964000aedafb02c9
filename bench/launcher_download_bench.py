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

Two times per side: end to end (from the start of the process to the end of the syncfs), and from
the first planet request (from the moment the stand-in server's request log showed the side's
first planet-file request to the same end). The request log is followed by a thread of the
driver that reads it every 2 ms, so a first request is seen within a few milliseconds of its
arrival (the server writes the line as the request comes in, before it answers). For ours the
time before the first planet request is the launcher's start-up (Qt, settings, the router and
the client check); for curl it is the start of the process.

CPU is user + system time of the side's whole process tree. Ours: the sum over the launcher and
every process below it of utime + stime + cutime + cstime from /proc/PID/stat (a browser
engine process counts too), taken at completion (cpu) and 3 s later (cpu_end, with the
launcher's tidy-up after the download). curl: the resource usage wait4 returns.

Memory of ours, from /proc/PID/status of the launcher process (the browser engine's own
processes are not counted): idle_rss is VmRSS at the last sample (every 20 ms) before its first
planet request was seen, so after the start-up and the client check; peak_rss is VmHWM and
rss_after VmRSS, both 3 s after the download was complete. curl's peak_rss is its VmHWM at the
last sample (every 20 ms) before it ended (wait4's ru_maxrss would report the forked driver's).

Load: the 1-minute load average (/proc/loadavg) before and after each side.

A starved curl: curl --parallel runs all its transfers on one thread, so its time is as good as
the CPU that thread gets. A curl run counts as starved when the machine took that CPU from it in
either of two ways: it waited, runnable, for a CPU for 0.1 of its wall time or more (the run-queue
wait of /proc/PID/schedstat, read after it ended and before it is reaped), or it used 1.5 times
the CPU time of the set's leanest curl run or more for the same files (time a virtual machine's
host takes away, or contention for caches and memory, is charged to the process as CPU; the
development machine reports no steal time). That a curl uses nearly as much CPU as wall time is
no sign: on loopback an unhindered curl is bound by its one thread (0.83 to 0.92 of its wall
time for the small files there), and a curl that waits for a CPU uses less. After the runs, a
run whose curl was starved is run again (both sides, up to MAX_RERUNS times, every attempt
printed, judged against the leanest curl of all attempts so far); only when every attempt was
starved is the last one quoted, flagged. Ours is not judged: its threads together may use more
CPU than wall time.

The order of the two is rotated from run to run. Last, per set, the ratios of the quoted runs
(min, median, max): throughput ours/curl end to end and from the first planet request (curl's
time over ours; higher is faster for us), CPU and peak resident memory ours/curl (lower is
leaner for us), and the range of the load averages seen.
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
import threading
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
LOG_POLL_S = 0.002      # the request log's follower
STARVED_WAIT_SHARE = 0.1  # curl starved: it waited for a CPU for this share of its wall time or more,
STARVED_CPU_FACTOR = 1.5  # or it used this many times the least CPU of the set's curl runs or more
MAX_RERUNS = 3          # attempts of a run beyond the first while its curl is starved
MB = 1e6

_libc = ctypes.CDLL(None, use_errno=True)


def syncfs(folder):
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        if _libc.syncfs(fd) != 0:
            raise OSError(ctypes.get_errno(), "syncfs " + folder)
    finally:
        os.close(fd)


class Failed(Exception):
    """A run that did not end with every file in place; its logs are kept."""


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


def proc_stat_fields(pid):
    """The fields of /proc/PID/stat after the command (fields[0] is the state, field 3), or None."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            text = f.read()
    except OSError:
        return None
    return text[text.rfind(")") + 2:].split()


def tree_cpu_seconds(root):
    """User + system time of root and every process below it, with the children they have
    waited for (utime + stime + cutime + cstime, fields 14 to 17)."""
    parents = {}
    ticks = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        fields = proc_stat_fields(int(name))
        if fields is None:
            continue
        parents[int(name)] = int(fields[1])
        ticks[int(name)] = sum(int(v) for v in fields[11:15])
    total = 0
    for pid, own in ticks.items():
        at = pid
        while at > 1 and at != root:
            at = parents.get(at, 0)
        if at == root:
            total += own
    return total / os.sysconf("SC_CLK_TCK")


def run_queue_wait_seconds(pid):
    """Time the process spent runnable but waiting for a CPU (/proc/PID/schedstat), or None."""
    try:
        with open("/proc/%d/schedstat" % pid) as f:
            return int(f.read().split()[1]) / 1e9
    except (OSError, IndexError, ValueError):
        return None


def load_average():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


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
    """Follows the stand-in server's request log in a thread of its own, reading it every 2 ms:
    when a run's first planet-file request was seen (time.monotonic), and how many update
    packages the run requested (none while the client is current)."""

    def __init__(self, path):
        self.file = open(path, "rb")
        self.file.seek(0, os.SEEK_END)
        self.pending = b""
        self.lock = threading.Lock()
        self.first = None
        self.packages = 0
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._follow, daemon=True)
        self.thread.start()

    def _read(self):
        # With the lock held.
        chunk = self.file.read()
        if not chunk:
            return
        seen = time.monotonic()
        lines = (self.pending + chunk).split(b"\n")
        self.pending = lines.pop()
        targets = [line.split(b" agent=")[0] for line in lines]
        self.packages += sum(1 for t in targets if b"/client_files/" in t)
        if self.first is None and any(b"/dynamic_content/" in t for t in targets):
            self.first = seen

    def _follow(self):
        while not self.stopping.wait(LOG_POLL_S):
            with self.lock:
                self._read()

    def begin(self):
        """Starts a run: what the log holds so far belongs to earlier runs."""
        with self.lock:
            self._read()
            self.first = None
            self.packages = 0

    def first_request(self):
        with self.lock:
            return self.first

    def finish(self):
        """The run's update packages, with every line written so far."""
        with self.lock:
            self._read()
            return self.packages

    def close(self):
        self.stopping.set()
        self.thread.join()
        self.file.close()


def run_ours(env, ctx, set_name):
    count, _ = SETS[set_name]
    install, content, out_root = ctx["install"], ctx["content"], ctx["out_root"]
    shutil.rmtree(os.path.join(ctx["content_parent"], "public_users_data"), ignore_errors=True)
    shutil.rmtree(ctx["home"], ignore_errors=True)
    os.makedirs(ctx["home"])
    write_hives(ctx["config"], ctx["threads"], ctx["content_parent_setting"])
    os.sync()

    server_log = ctx["server_log"]
    log = open(os.path.join(ctx["work"], "launcher-%s.log" % set_name), "ab")
    args = ["./Trailstarter", "--quiet"] + ctx["parameters"]
    load_before = load_average()
    server_log.begin()
    start = time.monotonic()
    launcher = subprocess.Popen(args, cwd=install, env=env, stdout=log, stderr=subprocess.STDOUT,
                                start_new_session=True)
    log.close()
    pid = launcher.pid
    idle_rss = 0
    first = None
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
            if first is None:
                first = server_log.first_request()
                if first is None:
                    idle_rss = rss
            if first is not None and content_complete(content, count):
                cpu_done = tree_cpu_seconds(pid)
                syncfs(out_root)
                done = time.monotonic() - start
                break
            time.sleep(POLL_S)
        load_after = load_average()
        time.sleep(SETTLE_S)
        rss_after = proc_status_kb(pid, "VmRSS")
        peak = proc_status_kb(pid, "VmHWM")
        cpu_end = tree_cpu_seconds(pid)
        alive = launcher.poll() is None
        packages = server_log.finish()
    finally:
        stop(launcher)
    if not alive:
        return {"ok": False, "why": "the launcher ended after the download"}
    faults = check_archives(content, ctx["expected"])
    first_request = first - start
    return {"ok": not faults, "why": "; ".join(faults[:5]), "wall": done, "first_request": first_request,
            "from_first": done - first_request, "cpu": cpu_done, "cpu_end": cpu_end, "idle_rss": idle_rss * 1024 / MB,
            "peak_rss": peak * 1024 / MB, "rss_after": rss_after * 1024 / MB, "packages": packages,
            "load_before": load_before, "load_after": load_after}


def run_curl(ctx, set_name):
    out = ctx["curl_out"]
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    os.sync()
    argv = ["curl", "--silent", "--show-error", "--fail", "--create-dirs", "--parallel", "--parallel-max", "12",
            "--config", ctx["curl_config"]]
    server_log = ctx["server_log"]
    log = open(os.path.join(ctx["work"], "curl-%s.log" % set_name), "ab")
    load_before = load_average()
    server_log.begin()
    start = time.monotonic()
    process = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT)
    log.close()
    peak = 0
    try:
        # Ended but not yet reaped, the process still shows its scheduler figures.
        while os.waitid(os.P_PID, process.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is None:
            peak = max(peak, proc_status_kb(process.pid, "VmHWM"))
            if time.monotonic() - start > RUN_LIMIT_S:
                process.kill()
            time.sleep(POLL_S)
    except BaseException:
        process.kill()
        process.wait()
        raise
    run_queue_wait = run_queue_wait_seconds(process.pid)
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    syncfs(ctx["out_root"])
    wall = time.monotonic() - start
    load_after = load_average()
    packages = server_log.finish()
    first = server_log.first_request()
    faults = check_plain_files(out, ctx["expected"])
    shutil.rmtree(out, ignore_errors=True)
    ok = process.returncode == 0 and faults == 0 and first is not None
    cpu = usage.ru_utime + usage.ru_stime
    first_request = first - start if first is not None else wall
    return {"ok": ok, "why": "curl ended with %d, %d files wrong%s" % (
                process.returncode, faults, "" if first is not None else ", no planet request in the server's log"),
            "wall": wall,
            "first_request": first_request, "from_first": wall - first_request, "cpu": cpu,
            "peak_rss": peak * 1024 / MB, "cpu_share": cpu / wall, "run_queue_wait": run_queue_wait,
            "load_before": load_before, "load_after": load_after}


def curl_starved(curl, least_cpu):
    """Why a curl run was starved of CPU, or "" when it was not."""
    why = []
    wait = curl["run_queue_wait"]
    if wait is not None and wait >= STARVED_WAIT_SHARE * curl["wall"]:
        why.append("waited %.2f s of its %.2f s for a CPU" % (wait, curl["wall"]))
    if curl["cpu"] >= STARVED_CPU_FACTOR * least_cpu:
        why.append("used %.2f s of CPU, %.1f times the %.2f s of the set's leanest curl run" % (
            curl["cpu"], curl["cpu"] / least_cpu, least_cpu))
    return "; ".join(why)


def ratios(values):
    return "%.2f %.2f %.2f" % (min(values), statistics.median(values), max(values))


def bench_set(build, base_work, set_name, runs, threads, out_base):
    tools = os.path.join(build, "tools")
    count, size = SETS[set_name]
    # The site, the archives and curl's files, each the size of the set, and a tenth more.
    for folder, copies in ((base_work, 1 if out_base else 3), (out_base, 2)):
        if folder:
            free = os.statvfs(folder)
            if free.f_bavail * free.f_frsize < copies * count * size * 1.1:
                fail("%s: %.1f GB free in %s, %.1f GB needed" % (
                    set_name, free.f_bavail * free.f_frsize / 1e9, folder, copies * count * size * 1.1 / 1e9))
    work = tempfile.mkdtemp(prefix="launcherbench-%s-" % set_name, dir=base_work)
    out_root = tempfile.mkdtemp(prefix="launcherbench-out-%s-" % set_name, dir=out_base) if out_base else work
    print("%s: making the site (%d files of %d bytes) ..." % (set_name, count, size), flush=True)
    made = time.monotonic()
    try:
        client, site, expected = make_set(tools, work, set_name)
    except BaseException:
        shutil.rmtree(work, ignore_errors=True)
        if out_root != work:
            shutil.rmtree(out_root, ignore_errors=True)
        raise
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
           "server_log_path": os.path.join(work, "requests.log"), "curl_out": os.path.join(out_root, "curl"),
           "runtime": os.path.join(work, "runtime")}
    os.mkdir(ctx["runtime"], 0o700)

    server = router = None
    ctx["server_log"] = None
    try:
        server, address = start_standin([os.path.join(tools, "standin-server", "standin-server"), "--root", site,
                                         "--listen", "127.0.0.1:0", "--log", ctx["server_log_path"]],
                                        os.path.join(work, "standin-server.log"))
        ctx["server_log"] = ServerLog(ctx["server_log_path"])
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
                    # The single-instance lock goes here: a launcher of another run on this
                    # machine must not make ours step aside (it would end at once with 0).
                    "XDG_RUNTIME_DIR": ctx["runtime"],
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

        def line(label, side, r):
            text = "%s %-4s wall %6.2f s  from first request %6.2f s  %7.1f MB/s  %7.0f files/s" % (
                label, side, r["wall"], r["from_first"], total_mb / r["wall"], count / r["wall"])
            text += "  cpu %5.2f s  peak_rss %6.1f MB  load %.2f -> %.2f" % (
                r["cpu"], r["peak_rss"], r["load_before"], r["load_after"])
            if side == "ours":
                text += "  first_request %.2f s  cpu_end %.2f s  idle_rss %5.1f MB  rss_after %5.1f MB" % (
                    r["first_request"], r["cpu_end"], r["idle_rss"], r["rss_after"])
                text += "  update packages %d  archives ok" % r["packages"]
            else:
                wait = r["run_queue_wait"]
                text += "  first_request %.2f s  cpu/wall %.2f  run-queue wait %s  files ok" % (
                    r["first_request"], r["cpu_share"], "n/a" if wait is None else "%.2f s" % wait)
            return text

        def attempt(run, number):
            label = "run %d%s %s" % (run, "" if number == 0 else " (rerun %d)" % number, set_name)
            order = ("ours", "curl") if run % 2 == 1 else ("curl", "ours")
            results = {}
            for side in order:
                r = run_ours(env, ctx, set_name) if side == "ours" else run_curl(ctx, set_name)
                results[side] = r
                if not r["ok"]:
                    raise Failed("%s %s failed: %s" % (label, side, r["why"]))
                print(line(label, side, r), flush=True)
            ours, curl = results["ours"], results["curl"]
            print("%s ours/curl end to end %.2f  from first request %.2f  cpu %.2f  load %.2f -> %.2f" % (
                label, curl["wall"] / ours["wall"], curl["from_first"] / ours["from_first"], ours["cpu"] / curl["cpu"],
                results[order[0]]["load_before"], results[order[1]]["load_after"]), flush=True)
            return ours, curl

        # Every run once; then, while the last attempt of a run has a starved curl (judged against
        # the leanest curl of all attempts so far), that run again, at most MAX_RERUNS times.
        tries = {}
        for run in range(1, runs + 1):
            tries[run] = [attempt(run, 0)]
        while True:
            least = min(c["cpu"] for t in tries.values() for _, c in t)
            again = [(run, curl_starved(t[-1][1], least)) for run, t in tries.items()]
            again = [(run, why) for run, why in again if why and len(tries[run]) <= MAX_RERUNS]
            if not again:
                break
            for run, why in again:
                print("run %d %s: curl starved (%s): run again" % (run, set_name, why), flush=True)
                tries[run].append(attempt(run, len(tries[run])))
        pairs = []
        for run, t in tries.items():
            ours, curl = t[-1]
            curl["starved"] = curl_starved(curl, least)
            if curl["starved"]:
                print("run %d %s: curl starved in every attempt (%s): the last one is quoted, flagged" % (
                    run, set_name, curl["starved"]), flush=True)
            pairs.append((ours, curl, len(t) - 1))
    except Failed as e:
        # The work folder goes; its logs are kept beside it.
        logs = tempfile.mkdtemp(prefix="launcherbench-logs-%s-" % set_name, dir=base_work)
        for name in os.listdir(work):
            if name.endswith(".log"):
                shutil.copy2(os.path.join(work, name), logs)
        fail("%s (logs in %s)" % (e, logs))
    finally:
        stop(router)
        stop(server)
        if ctx["server_log"] is not None:
            ctx["server_log"].close()
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
    # Ended with SIGTERM, the stand-ins and the work folder go as after a run.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    base_work = os.environ.get("TMPDIR") or "/tmp"
    out_base = os.environ.get("CONTENT_BENCH_OUT") or None

    summary = []
    for s in a.sets:
        pairs = bench_set(os.path.abspath(a.build), base_work, s, a.runs, a.threads, out_base)
        summary.append((s, pairs))
    print("threads %d, output on %s; ratios as min median max of the quoted runs" % (a.threads, out_base or base_work))
    for s, pairs in summary:
        print("%s ours/curl end to end %s" % (s, ratios([c["wall"] / o["wall"] for o, c, _ in pairs])))
        print("%s ours/curl from first request %s" % (s, ratios([c["from_first"] / o["from_first"] for o, c, _ in pairs])))
        print("%s cpu ours/curl %s" % (s, ratios([o["cpu"] / c["cpu"] for o, c, _ in pairs])))
        print("%s peak_rss ours/curl %s" % (s, ratios([o["peak_rss"] / c["peak_rss"] for o, c, _ in pairs])))
        print("%s ours wall %.2f to %.2f s, from first request %.2f to %.2f s, cpu %.2f to %.2f s" % (
            s, min(o["wall"] for o, _, _ in pairs), max(o["wall"] for o, _, _ in pairs),
            min(o["from_first"] for o, _, _ in pairs), max(o["from_first"] for o, _, _ in pairs),
            min(o["cpu"] for o, _, _ in pairs), max(o["cpu"] for o, _, _ in pairs)))
        waits = [c["run_queue_wait"] for _, c, _ in pairs if c["run_queue_wait"] is not None]
        print("%s curl wall %.2f to %.2f s, from first request %.2f to %.2f s, cpu %.2f to %.2f s, cpu/wall %.2f to %.2f"
              ", run-queue wait %s" % (
                  s, min(c["wall"] for _, c, _ in pairs), max(c["wall"] for _, c, _ in pairs),
                  min(c["from_first"] for _, c, _ in pairs), max(c["from_first"] for _, c, _ in pairs),
                  min(c["cpu"] for _, c, _ in pairs), max(c["cpu"] for _, c, _ in pairs),
                  min(c["cpu_share"] for _, c, _ in pairs), max(c["cpu_share"] for _, c, _ in pairs),
                  "%.2f to %.2f s" % (min(waits), max(waits)) if waits else "n/a"))
        print("%s ours idle_rss %.1f MB, peak_rss %.1f MB, rss_after %.1f MB, first_request %.2f s (medians)" % (
            s, statistics.median(o["idle_rss"] for o, _, _ in pairs),
            statistics.median(o["peak_rss"] for o, _, _ in pairs),
            statistics.median(o["rss_after"] for o, _, _ in pairs),
            statistics.median(o["first_request"] for o, _, _ in pairs)))
        loads = [r[k] for o, c, _ in pairs for r in (o, c) for k in ("load_before", "load_after")]
        print("%s load average (1 min) %.2f to %.2f; reruns for a starved curl %d; starved runs quoted %d" % (
            s, min(loads), max(loads), sum(n for _, _, n in pairs), sum(1 for _, c, _ in pairs if c["starved"])))


if __name__ == "__main__":
    main()

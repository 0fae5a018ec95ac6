#!/usr/bin/env bash
# A shift of phones through vbcflash-station, against simulated phones (vbcsim, unpaced), with
# faults drawn at random for each phone, then the checks a production station must pass:
#
#   scripts/soak.sh [--phones N | --minutes M] [--ports N] [--seed S] [--dir DIR]
#                   [--build DIR] [--keep]
#
#   --phones N    phones to serve, all ports together (default 1000)
#   --minutes M   stop after M minutes instead (the phones under way then count as vanished)
#   --ports N     simulated phones side by side, COM1..COMN (default 8)
#   --seed S      seed of the faults drawn (default: the time); printed, to replay a run
#   --dir DIR     working directory (default: a new one under /tmp, removed unless --keep or
#                 a check failed)
#   --build DIR   where vbcflash-station, vbcflash-cli and vbcsim are (default build/default)
#
# Each port has its own vbcsim, which takes a new phone for every job (--job-faults): its own
# faults, its flash erased. The faults, drawn per phone: none, bad checksums (once, always),
# failed sectors (once, always), line noise, a bad speed verdict (once, always), silences
# (after the jump, after a sector command, after a sector's data, no switch-off answer), a
# phone that never answers, dropped lines at every stage (vbcsim then comes back on a new
# pseudo-terminal under the same name), a killed worker (SIGKILL while it waits on a silent
# phone) and a port whose device disappears for 3 s while a phone is written, then comes back.
#
# At the end it checks that
#   - every phone the simulators served (the PC answered its boot loader) is in the log exactly
#     once, on its port, in order, and nothing else is;
#   - every record with ok: true is a phone whose flash, as vbcsim reports it, equals the image;
#   - every fault gave the record its category and code (and the resends vbcsim counted);
#   - the station's memory (VmRSS) and open descriptors after the last phone are within 10 %
#     of what they were after the first hundred (when the run has that many);
# and prints the figures. Exit status 0 when every check passed, 1 otherwise, 2 on bad usage.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$PWD"

phones=1000
minutes=0
ports=8
seed=$(date +%s)
dir=
build=build/default
keep=0
while [ $# -gt 0 ]; do
    case "$1" in
        --phones) phones=$2; shift 2 ;;
        --minutes) minutes=$2; phones=0; shift 2 ;;
        --ports) ports=$2; shift 2 ;;
        --seed) seed=$2; shift 2 ;;
        --dir) dir=$2; shift 2 ;;
        --build) build=$2; shift 2 ;;
        --keep) keep=1; shift ;;
        -h | --help) sed -n '2,31p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "soak.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
done
build=$(cd "$build" && pwd)
for program in vbcflash-station vbcflash-cli vbcsim; do
    if [ ! -x "$build/$program" ] && [ ! -x "$build/cli/$program" ]; then
        echo "soak.sh: no $program in $build: build it first (cmake --build --preset default)" >&2
        exit 2
    fi
done
if [ -z "$dir" ]; then dir=$(mktemp -d "${TMPDIR:-/tmp}/vbcsoak.XXXXXX"); fi
mkdir -p "$dir"

status=0
python3 - "$ROOT" "$build" "$dir" "$phones" "$minutes" "$ports" "$seed" <<'PYTHON' || status=$?
import json, os, random, re, signal, subprocess, sys, threading, time, zlib

root, build, work = sys.argv[1], sys.argv[2], sys.argv[3]
target_phones, minutes, nports, seed = int(sys.argv[4]), float(sys.argv[5]), int(sys.argv[6]), int(sys.argv[7])


def program(name):
    for p in (os.path.join(build, name), os.path.join(build, "cli", name)):
        if os.access(p, os.X_OK):
            return p
    sys.exit("soak.sh: no " + name)


STATION, SIM = program("vbcflash-station"), program("vbcsim")

# The phone: six sectors of 8 KiB and two of 64 KiB; the software fills the six small ones, a
# whole 64 KiB block of sector 6 and 1000 bytes of sector 7 (as the fault matrix's).
SECTORS = 8
FLASH_SIZE = 6 * 8192 + 2 * 65536
IMAGE = bytes(((i * 131) ^ (i >> 9) ^ 0x5A) & 0xFF for i in range(6 * 8192 + 65536 + 1000))
FLASH_TXT = "\r\n".join([
    "# the soak's chip", "NEW_FLASH", "MANUFACTURER_NAME : SOAK", "DEVICE_NAME : SMALL",
    "NORVANE_PRODUCT : handset", "MANUFACTURER_ID : 32", "DEVICE_ID : 202", "NB_BANKS : 1",
    "NB_SECTORS : 8", "START_SECTOR_DESCRITPION", "0-5*8192*0", "6-7*65536*0",
    "END_SECTOR_DESCRIPTION", "END_FLASH", ""])
GOOD_CRC = zlib.crc32(IMAGE + b"\xff" * (FLASH_SIZE - len(IMAGE)))
BOOT_PROBLEM = 0xA019D

# The faults drawn per phone: (kind, weight, vbcsim options for a sector s, expected
# (category, code), or None for a phone the station must not log, resends expected).
# Expected results are those of the product type 2 job at row 1 (the fault matrix's).
FAULTS = [
    ("none", 560, lambda s: "", (0, 0), 0),
    ("bad-checksum-once", 60, lambda s: f"--bad-checksum {s}:1", (0, 0), 1),
    ("bad-checksum-always", 25, lambda s: f"--bad-checksum {s}:*", (12, 0xCC), None),
    ("sector-fail-once", 60, lambda s: f"--sector-fail {s}:1:0x21", (0, 0), 1),
    ("sector-fail-always", 25, lambda s: f"--sector-fail {s}:*:0x33", (10, 0x33), None),
    ("noise", 40, lambda s: f"--noise 700 --noise-seed {s + 1}", (0, 0), 0),
    ("bad-speed-verdict-once", 30, lambda s: "--bad-speed-verdict 1", (0, 0), 0),
    ("bad-speed-verdict-always", 15, lambda s: "--bad-speed-verdict *", (8, 8), None),
    ("drop-boot-frames", 12, lambda s: "--drop-at boot-frames", (6, BOOT_PROBLEM), None),
    ("drop-after-jump", 12, lambda s: "--drop-at after-jump", (6, BOOT_PROBLEM), None),
    ("drop-identification", 12, lambda s: "--drop-at identification", (6, 13), None),
    ("drop-speed-change", 12, lambda s: "--drop-at speed-change", (8, 2), None),
    ("drop-sector-command", 12, lambda s: f"--drop-at sector-command:{s}", (13, 0), None),
    ("drop-sector-data", 12, lambda s: f"--drop-at sector-data:{s}", (13, 0), None),
    ("drop-checksum-wait", 12, lambda s: f"--drop-at checksum-wait:{s}", (13, 0), None),
    ("drop-switch-off", 12, lambda s: "--drop-at switch-off", (8, 20), None),
    ("drop-boot-wait", 12, lambda s: "--drop-at boot-wait", None, None),
    ("never-answers", 6, lambda s: "--never-answer", None, None),
    ("silent-after-jump", 4, lambda s: "--silent-after-jump", (6, BOOT_PROBLEM), None),
    ("silent-after-command", 4, lambda s: f"--silent-after-command {s}:1", (13, 0), None),
    ("silent-after-data", 4, lambda s: f"--silent-after-data {s}:1", (13, 0), None),
    ("no-switch-off-answer", 4, lambda s: "--no-switch-off-answer", (8, 20), None),
    # The soak's own: the phone stays silent after sector 1's data, and while the worker waits
    # the soak kills it, or takes the port's device away for 3 s.
    ("killed-worker", 8, lambda s: "--silent-after-data 1:1", (70, 1), None),
    ("port-vanishes", 8, lambda s: "--silent-after-data 1:1", (13, 0), None),
]
KIND = {f[0]: f for f in FAULTS}
rng = random.Random(seed)


def draw():
    kind = rng.choices(FAULTS, weights=[f[1] for f in FAULTS])[0]
    return kind[0], kind[2](rng.randrange(SECTORS))


os.makedirs(work, exist_ok=True)
with open(os.path.join(work, "flash.txt"), "w", newline="") as f:
    f.write(FLASH_TXT)
for spm in ("mfl104_4.spm", "mfl104_5.spm"):
    with open(os.path.join(root, "examples", spm), "rb") as src, open(os.path.join(work, spm), "wb") as dst:
        dst.write(src.read())
with open(os.path.join(work, "soft.cla"), "wb") as f:
    f.write(IMAGE)
log_path = os.path.join(work, "station.jsonl")
if os.path.exists(log_path):
    os.remove(log_path)

per_port = -(-target_phones // nports) if target_phones else 10 ** 6
lock = threading.RLock()
failures = []


class Port:
    def __init__(self, n):
        self.n = n
        # The plan: the faults of its phones in turn; a last phone that never answers holds
        # the port once the plan is served, until the soak ends.
        self.plan = [draw() for _ in range(per_port if target_phones else 20000)]
        self.jobs = []        # (plan index, summary fields), every job vbcsim ended
        self.base = 0         # plan index of the running vbcsim's job 1
        self.proc = None
        self.acted = set()    # plan indices the soak already killed or vanished
        self.done = False
        self.start_sim()

    def start_sim(self):
        rest = self.plan[self.base:] + [("end", "--never-answer")]
        path = os.path.join(work, f"faults-{self.n}-{self.base}.txt")
        with open(path, "w") as f:
            f.write("".join(opts + "\n" for _, opts in rest))
        self.proc = subprocess.Popen(
            [SIM, "--flash-txt", os.path.join(work, "flash.txt"), "--link", f"COM{self.n}",
             "--dir", work, "--job-faults", path],
            stdout=subprocess.PIPE, stderr=open(os.path.join(work, f"vbcsim-{self.n}.err"), "a"),
            text=True)
        threading.Thread(target=self.read_sim, args=(self.proc, self.base), daemon=True).start()

    def read_sim(self, proc, base):
        out = open(os.path.join(work, f"vbcsim-{self.n}.out"), "a")
        for line in proc.stdout:
            out.write(line)
            out.flush()
            m = re.match(r"job (\d+) (.*)", line)
            if not m:
                continue
            fields = dict(kv.split("=", 1) for kv in m.group(2).split())
            with lock:
                self.jobs.append((base + int(m.group(1)) - 1, fields))

    def current(self):
        with lock:
            return self.base + sum(1 for j in self.jobs if j[0] >= self.base)

    def served_plan(self):
        with lock:
            return sum(1 for j in self.jobs if j[0] < len(self.plan))


ports = [Port(n) for n in range(1, nports + 1)]
time.sleep(0.5)
station = subprocess.Popen(
    # Each port bound to its link: a port whose link is gone must not fall back to a device of
    # this machine.
    [STATION, "--ports", f"1-{nports}", "--product", "2", "--log", log_path, "-C", work]
    + [a for n in range(1, nports + 1) for a in ("--device", f"{n}={work}/COM{n}")]
    + ["soft.cla"],
    stdout=subprocess.PIPE, stderr=open(os.path.join(work, "station.err"), "w"), text=True)
started = time.time()


def proc_figures(pid):
    rss = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    return rss, len(os.listdir(f"/proc/{pid}/fd"))


def worker_of(port):
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                if int(f.read().rsplit(")", 1)[1].split()[1]) != station.pid:
                    continue
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                args = f.read().split(b"\0")
        except (OSError, ValueError, IndexError):
            continue
        if b"--port" in args and args[args.index(b"--port") + 1] == str(port).encode():
            return int(pid)
    return None


def vanish(port, index):
    port.proc.send_signal(signal.SIGTERM)
    port.proc.wait()
    time.sleep(3)  # the station finds no device meanwhile, and tries again every 2 s
    with lock:
        port.base = index + 1
        if port.done:  # that was the port's last phone
            return
        port.start_sim()


def read_station():
    out = open(os.path.join(work, "station.out"), "w")
    for line in station.stdout:
        out.write(line)
        out.flush()
        parts = line.split(" ", 3)
        if len(parts) < 4 or not parts[1].startswith("COM") or parts[3].strip() != "writing":
            continue
        port = ports[int(parts[1][3:]) - 1]
        index = port.current()
        if index >= len(port.plan) or index in port.acted:
            continue
        kind = port.plan[index][0]
        if kind == "killed-worker":
            port.acted.add(index)
            pid = worker_of(port.n)
            if pid:
                os.kill(pid, signal.SIGKILL)
                out.write(f"soak: killed COM{port.n}'s worker {pid} (phone {index + 1})\n")
            else:
                failures.append(f"COM{port.n}: no worker to kill for phone {index + 1}")
        elif kind == "port-vanishes":
            port.acted.add(index)
            threading.Thread(target=vanish, args=(port, index), daemon=True).start()


threading.Thread(target=read_station, daemon=True).start()


def records():
    try:
        with open(log_path) as f:
            return [json.loads(l) for l in f if l.strip()]
    except FileNotFoundError:
        return []


# The station's memory and descriptors, sampled twice a second with the records logged by
# then: its descriptors rise and fall with the workers under way, so the end of the run is
# compared with its start at their highest.
samples = []
deadline = started + minutes * 60 if minutes else None
while True:
    time.sleep(0.5)
    if station.poll() is None and not all(p.done for p in ports):
        try:
            with open(log_path) as f:
                logged = sum(1 for _ in f)
        except FileNotFoundError:
            logged = 0
        samples.append((logged,) + proc_figures(station.pid))
    if station.poll() is not None:
        failures.append(f"the station ended by itself (status {station.returncode})")
        break
    for p in ports:
        with lock:
            if not p.done and (deadline is None and p.served_plan() >= len(p.plan)):
                p.done = True
                p.proc.send_signal(signal.SIGTERM)
    if deadline is not None and time.time() >= deadline:
        for p in ports:
            with lock:
                p.done = True
                p.proc.send_signal(signal.SIGTERM)
    if all(p.done for p in ports):
        break
for p in ports:
    p.proc.wait()
time.sleep(3)  # the last records are written; the ports have no device any more
last = proc_figures(station.pid) if station.poll() is None else None
elapsed = time.time() - started
if station.poll() is None:
    station.send_signal(signal.SIGTERM)
    try:
        station.wait(timeout=30)
    except subprocess.TimeoutExpired:
        station.kill()
        failures.append("the station did not stop within 30 s of SIGTERM")
    if station.returncode != 143:
        failures.append(f"the station exited {station.returncode} on SIGTERM, not 143")
time.sleep(0.3)

# ---- the checks ----
log = records()
served = kinds = 0
by_kind = {}
passed = 0
sha = __import__("hashlib").sha256(IMAGE).hexdigest()
for p in ports:
    mine = [r for r in log if r.get("port") == p.n]
    with lock:
        jobs = sorted(p.jobs, key=lambda j: j[0])
    phones = [(i, f) for i, f in jobs if f.get("answered") == "yes"]
    served += len(phones)
    for i, f in jobs:
        kind = p.plan[i][0] if i < len(p.plan) else "after-the-plan"
        by_kind[kind] = by_kind.get(kind, 0) + 1
    if len(mine) != len(phones):
        failures.append(f"COM{p.n}: {len(phones)} phones served, {len(mine)} records")
    for (i, f), r in zip(phones, mine):
        kind = p.plan[i][0] if i < len(p.plan) else "after-the-plan"
        what = f"COM{p.n} phone {i + 1} ({kind})"
        if r.get("sha256") != sha or r.get("bytes") != len(IMAGE):
            failures.append(f"{what}: record of another image")
        if r.get("ok"):
            passed += 1
            if int(f["flash-crc32"], 16) != GOOD_CRC:
                failures.append(f"{what}: logged as passed, its flash does not hold the image")
        if kind not in KIND:
            continue
        expected, resends = KIND[kind][3], KIND[kind][4]
        if minutes and f.get("end") == "stopped":
            expected = None  # stopped by the end of the run: any failure will do
            if r.get("ok"):
                failures.append(f"{what}: stopped by the soak's end, logged as passed")
            continue
        if expected is None:
            failures.append(f"{what}: the station logged a phone that should not be a phone: {r}")
            continue
        got = (r.get("category"), r.get("code"))
        if got != expected or r.get("ok") != (expected == (0, 0)):
            failures.append(f"{what}: expected {expected}, logged {got}, ok {r.get('ok')}: "
                            f"{r.get('message')}")
        if resends is not None and r.get("resends") != resends:
            failures.append(f"{what}: {r.get('resends')} resends logged, {resends} expected")
        if r.get("resends") is not None and str(r.get("resends")) != f.get("resends"):
            failures.append(f"{what}: {r.get('resends')} resends logged, vbcsim counted {f.get('resends')}")
for r in log:
    if not 1 <= r.get("port", 0) <= nports:
        failures.append(f"a record of no port: {r}")

print(f"soak: seed {seed}, {nports} ports, {elapsed:.0f} s")
print(f"soak: {sum(len(p.jobs) for p in ports)} jobs of vbcsim, {served} phones served, "
      f"{len(log)} records ({passed} passed, {len(log) - passed} failed)")
print("soak: faults by kind: " + ", ".join(f"{k} {v}" for k, v in sorted(by_kind.items(), key=lambda kv: -kv[1])))
head = [x for x in samples if 0 < x[0] <= 100]
tail = [x for x in samples if samples and x[0] >= samples[-1][0] - 100]
if len(log) >= 200 and head and tail:
    first = (max(x[1] for x in head), max(x[2] for x in head))
    end = (max(x[1] for x in tail), max(x[2] for x in tail))
    print(f"soak: station at its highest over the first hundred phones: RSS {first[0]} kB, "
          f"{first[1]} descriptors; over the last hundred: RSS {end[0]} kB, {end[1]} descriptors")
    if end[0] > first[0] * 1.10:
        failures.append(f"the station's memory grew from {first[0]} kB to {end[0]} kB")
    if end[1] > first[1] * 1.10:
        failures.append(f"the station's descriptors grew from {first[1]} to {end[1]}")
elif len(log) < 200:
    print("soak: fewer than 200 records: no start and end of the station's memory to compare")
if last:
    print(f"soak: station after the last phone (no port left): RSS {last[0]} kB, "
          f"{last[1]} descriptors")
for f in failures[:50]:
    print("soak: FAILED: " + f)
if len(failures) > 50:
    print(f"soak: ... and {len(failures) - 50} more")
print("soak: " + ("FAILED" if failures else "passed"))
sys.exit(1 if failures else 0)
PYTHON

if [ "$status" -eq 0 ] && [ "$keep" -eq 0 ]; then
    rm -rf "$dir"
else
    echo "soak.sh: files in $dir"
fi
exit "$status"

#!/usr/bin/env python3
"""Side-by-side loopback benchmark of the bridge and nginx, driven by scripts/bench.

Starts the bridge (temporary data directory, a pairing code written beforehand) and nginx
(temporary prefix, connection per request, fixed ~300-byte JSON answer) on free loopback
ports, then runs wrk against both, interleaved: for every workload, round after round, one
server then the other, the order swapped every round so that both see the same machine.
Every request carries the pairing code and "Connection: close"; only 200 answers count.
All of it twice, in two placements: both servers in the benchmark's own session, as a shell
starts them, and each server in a session of its own (setsid), as a service manager or a
terminal multiplexer starts them; the scheduler may group sessions apart.
Prints, per placement, a Markdown table with the ratios to nginx and the details behind it.
Given a second bridge (the same tree built without hardening), it runs that one too, in the
same placement, in every round of every workload and in "--pairing", interleaved with the
first, and adds per placement a table comparing the two.

Everything it starts it ends by pid, and every wait in it is bounded.
"""
import http.client
import json
import os
import resource
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
CODE = "bench-amber-river-stone-482913"
TICKS = os.sysconf("SC_CLK_TCK")
CORES = os.cpu_count() or 1

SECONDS = int(os.environ.get("BENCH_SECONDS", "3"))
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "4"))
THREADS = int(os.environ.get("BENCH_THREADS", "2"))
CONNECTIONS = int(os.environ.get("BENCH_CONNECTIONS", "32"))
IDLE = int(os.environ.get("BENCH_IDLE", "2000"))
PAIRING_RUNS = int(os.environ.get("BENCH_PAIRING_RUNS", "50"))
QUIET_SECONDS = int(os.environ.get("BENCH_QUIET_SECONDS", "10"))
# "shared": the servers in the benchmark's session; "own": each in a session of its own.
PLACEMENTS = os.environ.get("BENCH_PLACEMENTS", "shared,own").split(",")
PLACEMENT_TITLES = {
    "shared": "Servers in the benchmark's session",
    "own": "Each server in a session of its own (setsid)",
}

# The reference answer: about the size of a real state document, compact JSON.
NGINX_BODY = json.dumps(
    {
        "updated_at": 1765050000.25, "version": "1.2.0", "orvaned": True,
        "heart_rate": {"bpm": 81, "age_seconds": 12, "live": True, "trend": "rising",
                       "slope_bpm_per_min": 4.0, "vs_baseline_pct": 35},
        "baseline": {"bpm": 60, "source": "24h_p25"},
        "hrv_sdnn": {"ms": 48, "age_minutes": 30},
        "sleep_last_night_hours": 7.4, "oxygen_saturation": 97.0,
        "flags": ["hr_rising", "hr_high"],
    },
    separators=(",", ":"),
)


@dataclass
class Workload:
    name: str
    what: str
    path: str
    batch: int = 0  # samples per POST /ingest, 0 for a GET
    idle: int = 0  # idle connections held open during the run


WORKLOADS = [
    Workload("W1", 'GET "/health"', "/health"),
    Workload("W2", 'GET "/state", 4000 readings over 24 h', "/state"),
    Workload("W3", 'POST "/ingest", 100 samples', "/ingest", batch=100),
    Workload("W4", 'POST "/ingest", 2000 samples', "/ingest", batch=2000),
    Workload("W5", f'GET "/health", {IDLE} idle connections open', "/health", idle=IDLE),
]


@dataclass
class Run:
    ok: int
    other: int
    accepted: int
    socket_errors: int
    seconds: float
    p50_us: float
    p99_us: float
    server_cpu_s: float
    server_switches: int  # context switches of all the server's threads
    client_cpu_s: float
    others_cpu_share: float  # of all cores, charged to neither the server nor wrk
    connections: int  # TCP connections opened on the machine during the run
    idle_open: int = -1  # idle connections still open at the end, -1 when none were held


@dataclass
class Server:
    name: str
    process: subprocess.Popen
    port: int
    runs: dict = field(default_factory=dict)

    def pids(self):
        # nginx serves from its workers, the children of the master we started.
        found = [self.process.pid]
        for entry in Path("/proc").iterdir():
            if entry.name.isdigit():
                try:
                    stat = (entry / "stat").read_text()
                except OSError:
                    continue
                if int(stat.rsplit(")", 1)[1].split()[1]) == self.process.pid:
                    found.append(int(entry.name))
        return found

    def cpu_seconds(self):
        total = 0
        for pid in self.pids():
            try:
                fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
            except OSError:
                continue
            total += int(fields[11]) + int(fields[12])  # utime, stime
        return total / TICKS

    def context_switches(self):
        total = 0
        for pid in self.pids():
            for task in Path(f"/proc/{pid}/task").glob("*"):
                try:
                    status = (task / "status").read_text()
                except OSError:
                    continue
                total += sum(int(line.split()[1]) for line in status.splitlines()
                             if "ctxt_switches:" in line)
        return total


def log(text):
    print(text, file=sys.stderr, flush=True)


def free_ports(count):
    sockets = [socket.socket() for _ in range(count)]
    for s in sockets:
        s.bind(("127.0.0.1", 0))
    ports = [s.getsockname()[1] for s in sockets]
    for s in sockets:
        s.close()
    return ports


def busy_cpu_seconds():
    fields = [int(x) for x in Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:]]
    idle = fields[3] + fields[4]  # idle, iowait
    return (sum(fields[:8]) - idle) / TICKS


def tcp_active_opens():
    lines = [line.split() for line in Path("/proc/net/snmp").read_text().splitlines()
             if line.startswith("Tcp:")]
    return int(lines[1][lines[0].index("ActiveOpens")])


def proc_status_kib(pid, key):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1])
    raise KeyError(key)


def load_average():
    return " ".join(Path("/proc/loadavg").read_text().split()[:3])


def background_share(seconds=3.0):
    """Share of all cores busy while none of ours runs: what the rest of the machine takes."""
    busy, started = busy_cpu_seconds(), time.monotonic()
    time.sleep(seconds)
    return (busy_cpu_seconds() - busy) / ((time.monotonic() - started) * CORES)


def request(port, method, path, body=None, code=CODE):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    headers = {"Connection": "close"}
    if code:
        headers["Authorization"] = f"Bearer {code}"
    if body is not None:
        headers["Content-Type"] = "application/json"
    try:
        connection.request(method, path, body=body, headers=headers)
        response = connection.getresponse()
        return response.status, response.getheader("Connection"), response.read()
    finally:
        connection.close()


def wait_until_answering(server):
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline:
        if server.process.poll() is not None:
            raise SystemExit(f"{server.name} exited with status {server.process.returncode}")
        try:
            if request(server.port, "GET", "/health")[0] == 200:
                return
        except OSError:
            pass
        time.sleep(0.05)
    raise SystemExit(f"{server.name} did not answer on port {server.port} within 15 s")


def start_bridge(binary, work, port, own_session, name="bridge"):
    data = work / f"{name}-data"
    shutil.rmtree(data, ignore_errors=True)
    data.mkdir(mode=0o700)
    token = data / "token"
    token.write_text(CODE + "\n")
    token.chmod(0o600)
    env = dict(os.environ, ORVANE_DIR=str(data), ORVANE_PORT=str(port))
    output = open(work / f"{name}.out", "wb")
    process = subprocess.Popen([binary], env=env, stdout=output, stderr=subprocess.STDOUT,
                               stdin=subprocess.DEVNULL, start_new_session=own_session)
    server = Server(name, process, port)
    wait_until_answering(server)
    return server


def start_nginx(work, port, own_session):
    prefix = work / "nginx"
    shutil.rmtree(prefix, ignore_errors=True)
    prefix.mkdir()
    conf = (HERE / "nginx.conf.in").read_text()
    conf = conf.replace("@PREFIX@", str(prefix)).replace("@PORT@", str(port))
    conf = conf.replace("@BODY@", NGINX_BODY)
    (prefix / "nginx.conf").write_text(conf)
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    process = subprocess.Popen(
        [nginx, "-p", str(prefix), "-c", str(prefix / "nginx.conf"), "-e",
         str(prefix / "error.log")],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=open(work / "nginx.out", "wb"),
        start_new_session=own_session)
    server = Server("nginx", process, port)
    wait_until_answering(server)
    return server


def stop(process, grace=10):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(grace)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(grace)


def seed_state(bridge):
    """4000 heart-rate readings spread over the last 24 h and no resting heart rate, so that
    every read computes the 25th-percentile baseline and the trend."""
    now = time.time()
    readings = 4000
    step = 86400 / readings
    for half in range(2):
        samples = [
            {"type": "heart_rate", "value": 55 + (i * 37) % 41, "ts": now - 86400 + (i + 0.5) * step,
             "unit": "count/min"}
            for i in range(half * 2000, (half + 1) * 2000)
        ]
        status, _, body = request(bridge.port, "POST", "/ingest",
                                  json.dumps({"device": "BenchSeed", "samples": samples}))
        if status != 200 or json.loads(body).get("accepted") != 2000:
            raise SystemExit(f"seeding /state failed: {status} {body[:200]!r}")
    status, _, body = request(bridge.port, "GET", "/state")
    document = json.loads(body)
    heart_rate = document.get("heart_rate", {})
    if (status != 200 or document.get("baseline", {}).get("source") != "24h_p25"
            or "trend" not in heart_rate or "vs_baseline_pct" not in heart_rate):
        raise SystemExit(f"the seeded state lacks the percentile baseline or the trend: {document}")


def check_servers(bridge, nginx):
    """Both servers answer 200 with the code and close the connection; the bridge refuses a
    request without the code, so a 200 proves the code was carried."""
    for server in (bridge, nginx):
        status, connection, _ = request(server.port, "GET", "/health")
        if status != 200 or (connection or "").lower() != "close":
            raise SystemExit(f"{server.name}: /health answered {status}, Connection: {connection}")
    status, _, _ = request(bridge.port, "GET", "/health", code="")
    if status != 401:
        raise SystemExit(f"bridge answered {status} without the pairing code")


def start_idle_holder(port, count):
    holder = subprocess.Popen(
        [sys.executable, str(HERE / "idle_connections.py"), "--port", str(port), "--count",
         str(count), "--hold", str(SECONDS + 120)],
        stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
    ready, _, _ = select.select([holder.stdout], [], [], 60)
    line = holder.stdout.readline() if ready else ""
    if not line.startswith("ready"):
        stop(holder)
        raise SystemExit(f"could not hold {count} idle connections on port {port}: {line!r}")
    return holder


def finish_idle_holder(holder):
    holder.send_signal(signal.SIGTERM)
    try:
        out, _ = holder.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        holder.kill()
        out, _ = holder.communicate(timeout=10)
    for line in out.splitlines():
        if line.startswith("open "):
            return int(line.split()[1])
    return -1


def run_wrk(server, workload):
    holder = start_idle_holder(server.port, workload.idle) if workload.idle else None
    command = ["wrk", f"-t{THREADS}", f"-c{CONNECTIONS}", f"-d{SECONDS}s", "--timeout", "5s",
               "-H", f"Authorization: Bearer {CODE}", "-H", "Connection: close",
               "-s", str(HERE / "exact200.lua"),
               f"http://127.0.0.1:{server.port}{workload.path}"]
    if workload.batch:
        command += ["--", str(workload.batch)]
    children_before = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu_before, busy_before, opens_before = server.cpu_seconds(), busy_cpu_seconds(), tcp_active_opens()
    switches_before = server.context_switches()
    started = time.monotonic()
    try:
        result = subprocess.run(command, capture_output=True, text=True, timeout=SECONDS + 60)
    finally:
        idle_open = finish_idle_holder(holder) if holder else -1
    elapsed = time.monotonic() - started
    server_cpu = server.cpu_seconds() - cpu_before
    switches = server.context_switches() - switches_before
    busy = busy_cpu_seconds() - busy_before
    opens = tcp_active_opens() - opens_before
    children_after = resource.getrusage(resource.RUSAGE_CHILDREN)
    client_cpu = (children_after.ru_utime + children_after.ru_stime
                  - children_before.ru_utime - children_before.ru_stime)
    line = next((l for l in result.stdout.splitlines() if l.startswith("BENCH ")), None)
    if result.returncode != 0 or line is None:
        raise SystemExit(f"wrk failed against {server.name}: {result.stdout}{result.stderr}")
    values = {key: int(value) for key, value in (item.split("=") for item in line.split()[1:])}

    def number(key):
        return values[key]
    return Run(
        ok=number("ok"), other=number("other"), accepted=number("accepted"),
        socket_errors=sum(number(k) for k in ("connect", "read", "write", "timeout")),
        seconds=number("duration_us") / 1e6, p50_us=number("p50_us"), p99_us=number("p99_us"),
        server_cpu_s=server_cpu, server_switches=switches, client_cpu_s=client_cpu,
        others_cpu_share=max(0.0, busy - server_cpu - client_cpu) / (elapsed * CORES),
        connections=opens, idle_open=idle_open)


def pairing_times(binaries, work):
    """Wall times in seconds of "--pairing" for each binary, by name. With more than one, they
    take turns in blocks of 10 runs, the order swapped every block, so both see the same machine."""
    data = work / "pairing-data"
    data.mkdir(mode=0o700)
    (data / "token").write_text(CODE + "\n")
    (data / "token").chmod(0o600)
    export = work / "pairing.json"
    env = dict(os.environ, ORVANE_DIR=str(data), ORVANE_PORT=str(free_ports(1)[0]))
    blocks = 1 if len(binaries) == 1 else max(1, PAIRING_RUNS // 10)
    times = {name: [] for name in binaries}
    for block in range(blocks):
        names = list(binaries) if block % 2 == 0 else list(reversed(binaries))
        for name in names:
            subprocess.run(["hyperfine", "-N", "--style", "none", "--warmup", "5", "--runs",
                            str(PAIRING_RUNS // blocks), "--export-json", str(export),
                            f"{binaries[name]} --pairing"],
                           env=env, check=True, stdout=subprocess.DEVNULL, timeout=300)
            times[name] += json.loads(export.read_text())["results"][0]["times"]
    return times


# ---- the report -------------------------------------------------------------------------

def total(runs, attribute):
    return sum(getattr(r, attribute) for r in runs)


def rate(runs):
    return total(runs, "ok") / total(runs, "seconds")


def worst_p99_ms(runs):
    return max(r.p99_us for r in runs) / 1000


def fmt(x, digits=0):
    return f"{x:,.{digits}f}"


def verdict(ok):
    return "yes" if ok else "**no**"


def report(placement, bridge, nginx, memory, pairing, loads, background, build_note):
    b, n = bridge.runs, nginx.runs
    lines = [
        f"### {PLACEMENT_TITLES[placement]}",
        "",
        f"Loopback, {CORES} cores, wrk -t{THREADS} -c{CONNECTIONS}, {ROUNDS} rounds x {SECONDS} s "
        f"per server and workload, interleaved. Load average before {loads[0]}, after {loads[1]}; "
        f"CPU busy without us {background[0]:.0%} before, {background[1]:.0%} after.",
        build_note,
        "",
        "| Workload | Bridge | nginx | Ratio | CPU ratio | Bridge p99 | nginx p99 | Target | Met |",
        "|---|---:|---:|---:|---:|---:|---:|---|---|",
    ]
    ratio = {w: rate(b[w]) / rate(n[w]) for w in b}
    # nginx's server CPU per request over the bridge's: what the ratio approaches when the
    # server alone limits the rate, and much steadier than req/s on a busy machine.
    cpu_ratio = {w: (total(n[w], "server_cpu_s") / total(n[w], "ok"))
                 / (total(b[w], "server_cpu_s") / total(b[w], "ok")) for w in b}
    # Requests per second at least this share of nginx's, and server CPU per request at most
    # 1.15 times nginx's.
    targets = {"W1": 0.9, "W2": 0.9}
    for w in WORKLOADS:
        name = w.name
        target = f"≥ {targets[name]} × nginx, CPU ≤ 1.15 × nginx" if name in targets else ""
        met = (verdict(ratio[name] >= targets[name] and cpu_ratio[name] >= 1 / 1.15)
               if name in targets else "")
        if name == "W5":
            limit = 1.5 * worst_p99_ms(b["W1"])
            target = f"p99 ≤ 1.5 × W1 p99 = {limit:.2f} ms"
            met = verdict(worst_p99_ms(b["W5"]) <= limit)
        lines.append(
            f"| {name} {w.what} | {fmt(rate(b[name]))} req/s | {fmt(rate(n[name]))} req/s | "
            f"{ratio[name]:.2f} | {cpu_ratio[name]:.2f} | {worst_p99_ms(b[name]):.2f} ms | "
            f"{worst_p99_ms(n[name]):.2f} ms | "
            f"{target} | {met} |")
    for name in ("W3", "W4"):
        samples = total(b[name], "accepted")
        per_sample_us = total(b[name], "server_cpu_s") / samples * 1e6 if samples else float("inf")
        lines.append(
            f"| {name} samples/s, server CPU per sample | "
            f"{fmt(samples / total(b[name], 'seconds'))} samples/s, {per_sample_us:.2f} µs | | | | | | "
            + ("≤ 1.5 µs per sample | " + verdict(per_sample_us <= 1.5) if name == "W4" else "| ")
            + " |")
    lines += [
        f"| Resident memory, idle | {memory[0] / 1024:.1f} MiB | | | | | | ≤ 8 MiB | "
        f"{verdict(memory[0] <= 8 * 1024)} |",
        f"| Resident memory, peak | {memory[1] / 1024:.1f} MiB | | | | | | ≤ 40 MiB | "
        f"{verdict(memory[1] <= 40 * 1024)} |",
        f"| Wake-ups in {QUIET_SECONDS} s idle after the load (context switches) | {memory[2]} "
        f"| | | | | | 0 | {verdict(memory[2] == 0)} |",
        f'| One-shot "--pairing", median of {PAIRING_RUNS} | {pairing[0]:.2f} ms | | | | | | ≤ 5 ms | '
        f"{verdict(pairing[0] <= 5)} |",
        "",
        "Details (sums over the rounds; CPU per request is the server's user + system time):",
        "",
        "| Workload | Server | 200s | Other statuses | Socket errors | Connections / request | "
        "p50 | Server CPU / request | Server context switches / request | wrk CPU / request | "
        "Rest of the machine | Idle still open | Ratio per round |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|",
    ]
    for w in WORKLOADS:
        for server in (bridge, nginx):
            runs = server.runs[w.name]
            ok = total(runs, "ok")
            idle = "" if runs[0].idle_open < 0 else " / ".join(str(r.idle_open) for r in runs)
            # Each round's bridge run against the nginx run next to it: the spread shows noise.
            paired = "" if server is nginx else ", ".join(
                f"{(r.ok / r.seconds) / (m.ok / m.seconds):.2f}"
                for r, m in zip(runs, nginx.runs[w.name]))
            lines.append(
                f"| {w.name} | {server.name} | {ok:,} | {total(runs, 'other')} | "
                f"{total(runs, 'socket_errors')} | {total(runs, 'connections') / max(ok, 1):.2f} | "
                f"{statistics.mean(r.p50_us for r in runs) / 1000:.2f} ms | "
                f"{total(runs, 'server_cpu_s') / max(ok, 1) * 1e6:.0f} µs | "
                f"{total(runs, 'server_switches') / max(ok, 1):.2f} | "
                f"{total(runs, 'client_cpu_s') / max(ok, 1) * 1e6:.0f} µs | "
                f"{max(r.others_cpu_share for r in runs):.0%} | {idle} | {paired} |")
    lines.append("")
    lines.append(f'"--pairing": median {pairing[0]:.2f} ms, slowest {pairing[1]:.2f} ms; memory '
                 f"is VmRSS after start and VmHWM at the end. p99 columns show the worst round. "
                 f"Rest of the machine: the busiest round's share of all cores charged to neither "
                 f"the server nor wrk (other processes, interrupt and softirq time).")
    return "\n".join(lines)


def hardening_report(bridge, unhardened, times):
    """The hardened bridge against the unhardened one: what the hardening costs, in per cent of
    the unhardened figure (positive: the hardened build is slower)."""
    def cost(hardened, plain):
        return f"{(hardened / plain - 1) * 100:+.1f} %"

    lines = [
        "",
        "Hardened against unhardened (ORVANE_HARDENING=OFF), in the same rounds, interleaved; "
        "both bridges served the same workloads in the same order:",
        "",
        "| Workload | Hardened | Unhardened | Cost | Server CPU, hardened | Unhardened | Cost | "
        "Rate ratio per round |",
        "|---|---:|---:|---:|---:|---:|---:|---|",
    ]
    for w in WORKLOADS:
        name, unit, field_ = w.name, *(("samples/s", "accepted") if w.batch else ("req/s", "ok"))
        h, u = bridge.runs[name], unhardened.runs[name]
        h_rate, u_rate = (total(r, field_) / total(r, "seconds") for r in (h, u))
        h_cpu, u_cpu = (total(r, "server_cpu_s") / total(r, field_) * 1e6 for r in (h, u))
        per_round = ", ".join(f"{(a.ok / a.seconds) / (b.ok / b.seconds):.2f}" for a, b in zip(h, u))
        lines.append(f"| {name} {w.what} | {fmt(h_rate)} {unit} | {fmt(u_rate)} {unit} | "
                     f"{cost(u_rate, h_rate)} | {h_cpu:.2f} µs | {u_cpu:.2f} µs | "
                     f"{cost(h_cpu, u_cpu)} | {per_round} |")
    h_ms, u_ms = (statistics.median(times[n]) * 1000 for n in ("bridge", "unhardened"))
    lines.append(f'| One-shot "--pairing", median of {len(times["bridge"])} | {h_ms:.2f} ms | '
                 f"{u_ms:.2f} ms | {cost(h_ms, u_ms)} | | | | |")
    lines.append("")
    lines.append("Server CPU is per request, or per sample for the ingests (W3, W4). The rate's "
                 "cost is the unhardened rate over the hardened one, minus 1.")
    return "\n".join(lines)


def measure(binaries, work, placement):
    """Runs every workload against the servers started in `placement`: the bridge, nginx and,
    when `binaries` names one, the unhardened bridge. Returns the bridge, nginx, the unhardened
    bridge or None, each with its runs, and the bridge's memory (idle, peak) in KiB with its
    wake-ups once the load is over."""
    own_session = placement == "own"
    started = []
    try:
        bridge_port, nginx_port, unhardened_port = free_ports(3)
        bridge = start_bridge(binaries["bridge"], work, bridge_port, own_session)
        started.append(bridge.process)
        idle_kib = proc_status_kib(bridge.process.pid, "VmRSS")
        nginx = start_nginx(work, nginx_port, own_session)
        started.append(nginx.process)
        unhardened = None
        if "unhardened" in binaries:
            unhardened = start_bridge(binaries["unhardened"], work, unhardened_port, own_session,
                                      "unhardened")
            started.append(unhardened.process)
        check_servers(bridge, nginx)
        log(f"{PLACEMENT_TITLES[placement]}: bridge pid {bridge.process.pid} on {bridge_port}, "
            f"nginx pid {nginx.process.pid} on {nginx_port}; load {load_average()}")

        for w in WORKLOADS:
            for server in (bridge, nginx, unhardened):
                if server:
                    server.runs[w.name] = []
            for round_ in range(ROUNDS):
                # The two bridges swap places every other round, so that over four rounds each
                # goes first, goes last and follows nginx as often as the other.
                bridges = [bridge, unhardened] if round_ // 2 % 2 == 0 else [unhardened, bridge]
                order = [b for b in bridges if b] + [nginx]
                if round_ % 2:
                    order.reverse()
                for server in order:
                    if w.name == "W2" and server is not nginx:
                        seed_state(server)
                    run = run_wrk(server, w)
                    server.runs[w.name].append(run)
                    log(f"{w.name} {server.name:6} round {round_ + 1}: "
                        f"{run.ok / run.seconds:9,.0f} req/s  p99 {run.p99_us / 1000:6.2f} ms  "
                        f"non-200 {run.other}  socket errors {run.socket_errors}  "
                        f"conn/req {run.connections / max(run.ok, 1):.2f}  "
                        f"switches/req {run.server_switches / max(run.ok, 1):.2f}")
        peak_kib = proc_status_kib(bridge.process.pid, "VmHWM")
        # Once the load has gone, nothing should wake the bridge: no timer, no polling thread.
        time.sleep(2)
        switches = bridge.context_switches()
        time.sleep(QUIET_SECONDS)
        wakeups = bridge.context_switches() - switches
        if any(b and b.process.poll() is not None for b in (bridge, unhardened)):
            raise SystemExit("a bridge died during the benchmark")
        return bridge, nginx, unhardened, (idle_kib, peak_kib, wakeups)
    finally:
        for process in started:
            stop(process)


def main():
    if len(sys.argv) not in (2, 3):
        raise SystemExit("usage: compare.py PATH_TO_OrvaneBridge [PATH_TO_UNHARDENED_OrvaneBridge]")
    binary = str(Path(sys.argv[1]).resolve())
    binaries = {"bridge": binary}
    if len(sys.argv) == 3:
        binaries["unhardened"] = str(Path(sys.argv[2]).resolve())
    build_note = os.environ.get("BENCH_BUILD_NOTE", f"Bridge: {binary}.")
    # On the real disk, not tmpfs: the bridge writes its history and state on every ingest.
    work = Path(tempfile.mkdtemp(prefix="orvane-bench.", dir="/var/tmp"))
    try:
        log(f"work dir {work}")
        results = []
        for placement in PLACEMENTS:
            loads = [load_average()]
            background = [background_share()]
            bridge, nginx, unhardened, memory = measure(binaries, work, placement)
            loads.append(load_average())
            background.append(background_share())
            results.append((placement, bridge, nginx, unhardened, memory, loads, background))
        times = pairing_times(binaries, work)
        pairing = statistics.median(times["bridge"]) * 1000, max(times["bridge"]) * 1000
        print("\n\n".join(
            report(placement, bridge, nginx, memory, pairing, loads, background, build_note)
            + (hardening_report(bridge, unhardened, times) if unhardened else "")
            for placement, bridge, nginx, unhardened, memory, loads, background in results))
    finally:
        if os.environ.get("BENCH_KEEP"):
            log(f"kept {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

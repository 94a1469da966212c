#!/usr/bin/python3
"""Several `kx serve` processes behind HAProxy over one PostgreSQL database, as deploy/haproxy/
describes them, under load while one of them is stopped (SIGTERM) and another one killed (SIGKILL).

    service_scaleout_test.py KX_BINARY SOURCE_DIR

Writes a component folder whose Config.ini names the test PostgreSQL server (KX_TEST_PG_SERVER,
KX_TEST_PG_DATABASE, KX_TEST_PG_USER), runs `kx init`, starts three `kx serve` on free loopback
ports and HAProxy on another one, with a configuration made from deploy/haproxy/haproxy.cfg (its
global section, listening address and server lines replaced; everything else as it stands). Client
threads then add type profiles with distinct codes through HAProxy for a bounded time; meanwhile one
server gets SIGTERM and, later, another one SIGKILL. Checked afterwards:

- the server that got SIGTERM finished its calls and exited with status 0;
- every add that was acknowledged (200) is in the database;
- every request was acknowledged, except requests that were in flight on the killed server at the
  moment it was killed (HAProxy names that server for them, and their time spans the kill);
- no request reached a server twice (the servers' access logs name every request id at most once)
  and none that failed reached a surviving server.

Exits 77 (skipped) when haproxy or the PostgreSQL server is missing. Everything listens on
127.0.0.1; every process it starts is stopped when it ends, whatever the reason.
"""
import ctypes
import http.client
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import traceback

SKIPPED = 77

CLIENTS = 8                # client threads: half keep their connection to HAProxy, half open one per add
LOAD_SECONDS = 14          # how long the clients add
MAX_ADDS_PER_CLIENT = 20000  # a bound on the adds of one client, whatever the speed
TERM_AT, KILL_AT = 4.0, 8.0  # seconds into the load: SIGTERM to one server, SIGKILL to another
DEADLINE = 240             # seconds for the whole test; it stops itself past them

SERVERS = ("kx1", "kx2", "kx3")
TERMED, KILLED, SURVIVOR = SERVERS


class Failed(Exception):
    pass


# ---- processes

_libc = ctypes.CDLL(None, use_errno=True)
PR_SET_PDEATHSIG = 1


def _die_with_parent():
    """In a child before exec: the kernel kills it when the test process ends, however it ends."""
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def start(argv, log_path, stdout=None):
    log = open(log_path, "w")
    try:
        return subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=stdout or log, stderr=log,
                                text=True, preexec_fn=_die_with_parent)
    finally:
        log.close()


def stop(process, sig=signal.SIGTERM, wait=30):
    """Stops `process` (SIGKILL when `sig` did not end it within `wait` seconds); its exit status."""
    if process.poll() is None:
        try:
            process.send_signal(sig)
            process.wait(timeout=wait)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    return process.returncode


def free_port():
    """A loopback port nothing listens on (bound once and released)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class KxServe:
    """One `kx serve` on a port of its own choosing, its access log in the folder."""

    def __init__(self, kx, home, name):
        self.name = name
        self.log_path = os.path.join(home, name + ".log")
        self.process = start([kx, "--home", home, "--quiet", "serve", "--listen", "127.0.0.1:0"],
                             self.log_path, stdout=subprocess.PIPE)
        ready, _, _ = select.select([self.process.stdout], [], [], 30)
        line = self.process.stdout.readline() if ready else ""
        match = re.match(r"listening on http://127\.0\.0\.1:(\d+)$", line.strip())
        if not match:
            stop(self.process, signal.SIGKILL)
            raise Failed(f"{name} did not start: {line!r} {self.log_text()[-2000:]}")
        self.port = int(match.group(1))

    def log_text(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def access_log(self):
        """The service's JSON access log lines."""
        entries = []
        for line in self.log_text().splitlines():
            if line.startswith("{"):
                try:
                    entries.append(json.loads(line))
                except ValueError:
                    pass  # the last line of a killed process may be cut
        return entries


# ---- HAProxy

def haproxy_config(example, folder, port, servers):
    """deploy/haproxy/haproxy.cfg for this test: its own global section (foreground, log to stderr,
    the stats socket in `folder`), HAProxy on `port`, the given servers instead of the example's,
    and a log line that names every request by its id. Everything else stays as the example has it."""
    with open(example) as f:
        text = f.read()
    sections = re.split(r"(?m)^(?=\S)", text)
    out = []
    binds = server_lines = 0
    for section in sections:
        if section.startswith("global"):
            out.append("global\n"
                       "    log stderr format raw local0\n"
                       f"    stats socket {folder}/haproxy.sock mode 600 level admin\n\n")
            continue
        lines = []
        for line in section.splitlines():
            stripped = line.strip()
            if stripped.startswith("bind "):
                binds += 1
                lines.append(f"    bind 127.0.0.1:{port}")
                lines.append("    capture request header X-Request-Id len 64")
                continue
            if stripped.startswith("server "):
                server_lines += 1
                if server_lines == 1:
                    lines += [f"    server {name} 127.0.0.1:{p}" for name, p in servers]
                continue
            if stripped == "option httplog":
                lines.append('    log-format "kx-request %[capture.req.hdr(0)] %s %ST %ts %rc %Tc/%Tr/%Ta"')
                continue
            lines.append(line)
        out.append("\n".join(lines) + "\n")
    if binds != 1 or server_lines < 2:
        raise Failed(f"{example}: expected one bind line and two server lines or more, found "
                     f"{binds} and {server_lines}")
    return "".join(out)


class HaProxy:
    def __init__(self, haproxy, example, folder, servers):
        self.folder = folder
        self.log_path = os.path.join(folder, "haproxy.log")
        for attempt in range(5):  # the free port may be taken in between
            self.port = free_port()
            config = os.path.join(folder, "haproxy.cfg")
            with open(config, "w") as f:
                f.write(haproxy_config(example, folder, self.port, servers))
            check = subprocess.run([haproxy, "-c", "-f", config], capture_output=True, text=True)
            if check.returncode != 0:
                raise Failed("the configuration made from the example is refused: " + check.stdout + check.stderr)
            self.process = start([haproxy, "-db", "-f", config], self.log_path)
            if self.wait_listening():
                return
            stop(self.process, signal.SIGKILL)
        raise Failed("HAProxy did not start: " + self.log_text()[-2000:])

    def wait_listening(self):
        until = time.monotonic() + 10
        while time.monotonic() < until and self.process.poll() is None:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return True
            except OSError:
                time.sleep(0.1)
        return False

    def stats(self):
        """Server name -> status (UP, DOWN, ...), from the stats socket."""
        with socket.socket(socket.AF_UNIX) as s:
            s.settimeout(5)
            s.connect(os.path.join(self.folder, "haproxy.sock"))
            s.sendall(b"show stat\n")
            data = b""
            while chunk := s.recv(65536):
                data += chunk
        lines = data.decode().splitlines()
        header = lines[0].lstrip("# ").split(",")
        status = {}
        for line in lines[1:]:
            row = dict(zip(header, line.split(",")))
            if row.get("pxname") == "kx" and row.get("svname") not in ("BACKEND", "FRONTEND", None):
                status[row["svname"]] = row["status"]
        return status

    def wait_all_up(self, names):
        until = time.monotonic() + 30
        while time.monotonic() < until:
            status = self.stats()
            if all(status.get(n, "").startswith("UP") for n in names):
                return
            time.sleep(0.2)
        raise Failed(f"the servers are not all up for HAProxy: {self.stats()}")

    def log_text(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def requests(self):
        """Request id -> [(server, status, termination state, retries, connect/answer/total ms)],
        from HAProxy's log."""
        found = {}
        for line in self.log_text().splitlines():
            fields = line.split()
            if len(fields) == 7 and fields[0] == "kx-request":
                found.setdefault(fields[1], []).append(tuple(fields[2:]))
        return found


# ---- the load

class Outcome:
    __slots__ = ("code", "start", "end", "status", "error")

    def __init__(self, code, start, end, status, error):
        self.code, self.start, self.end, self.status, self.error = code, start, end, status, error


def profile(code):
    return f'<JBTypeProfile Code="{code}" JBTypeName="Scale-out job {code}" JBTypeCategory="SO"/>'


def client(port, prefix, number, stop_event, outcomes):
    keep_alive = number % 2 == 0
    connection = None
    for i in range(MAX_ADDS_PER_CLIENT):
        if stop_event.is_set():
            break
        code = f"{prefix}-{number}-{i:05d}"
        body = json.dumps({"args": [profile(code)]})
        started = time.monotonic()
        status, error = None, None
        try:
            if connection is None:
                connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
            connection.request("POST", "/v1/C_JBTypeProfile/add", body=body,
                               headers={"Content-Type": "application/json", "X-Request-Id": code})
            answer = connection.getresponse()
            raw = answer.read()
            status = answer.status
            if status != 200:
                error = " ".join(raw[:300].decode(errors="replace").split())
            if not keep_alive or answer.getheader("Connection", "").lower() == "close":
                connection.close()
                connection = None
        except (OSError, http.client.HTTPException) as e:
            error = f"{type(e).__name__}: {e}"
            if connection is not None:
                connection.close()
            connection = None
        outcomes.append(Outcome(code, started, time.monotonic(), status, error))
    if connection is not None:
        connection.close()


# ---- the database

def kx_call(kx, home, *args):
    done = subprocess.run([kx, "--home", home, "--quiet", "call", "--json", *args],
                          capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise Failed(f"kx call {' '.join(args)[:200]} failed: {done.stdout} {done.stderr}")
    return json.loads(done.stdout)


def stored_codes(kx, home, prefix):
    answer = kx_call(kx, home, "S_DBHelpForKX", "RunSQLReturnRS",
                     f"select JB_TYPE_CODE from JB_TYPE_PROFILE where JB_TYPE_CODE like '{prefix}-%'")
    # The engine names the column in its own case.
    return {next(iter(row.values())) for row in answer["result"] or []}


def get_through(port, code):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        connection.request("POST", "/v1/C_JBTypeProfile/getElementByXML", body=json.dumps({"args": [code]}),
                           headers={"Content-Type": "application/json"})
        answer = connection.getresponse()
        return answer.status, answer.read().decode(errors="replace")
    finally:
        connection.close()


# ---- the test

def run(kx, source, haproxy, folder, prefix):
    problems = []
    with open(os.path.join(folder, "Config.ini"), "w") as f:
        f.write("[DATABASE]\nPROVIDER=PostgreSQL\n"
                f"SERVERNAME={os.environ['KX_TEST_PG_SERVER']}\n"
                f"DATABASENAME={os.environ['KX_TEST_PG_DATABASE']}\n"
                f"USERID={os.environ['KX_TEST_PG_USER']}\nPASSWORD=\n"
                f"[XML]\nXMLSCHEMAPATH={source}/schemas/\n")
    done = subprocess.run([kx, "--home", folder, "--quiet", "init"], capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise Failed("kx init failed: " + done.stderr)

    servers, proxy = {}, None
    try:
        for name in SERVERS:
            servers[name] = KxServe(kx, folder, name)
        proxy = HaProxy(haproxy, os.path.join(source, "deploy", "haproxy", "haproxy.cfg"), folder,
                        [(name, s.port) for name, s in servers.items()])
        proxy.wait_all_up(SERVERS)

        outcomes, stop_event = [], threading.Event()
        clients = [threading.Thread(target=client, args=(proxy.port, prefix, n, stop_event, outcomes), daemon=True)
                   for n in range(CLIENTS)]
        began = time.monotonic()
        for t in clients:
            t.start()
        time.sleep(TERM_AT)
        term_at = time.monotonic()
        servers[TERMED].process.send_signal(signal.SIGTERM)
        time.sleep(max(0.0, began + KILL_AT - time.monotonic()))
        kill_at = time.monotonic()
        servers[KILLED].process.send_signal(signal.SIGKILL)
        servers[KILLED].process.wait(timeout=10)
        dead_at = time.monotonic()  # the process is gone, its sockets with it
        time.sleep(max(0.0, began + LOAD_SECONDS - time.monotonic()))
        stop_event.set()
        for t in clients:
            t.join(timeout=90)
        if any(t.is_alive() for t in clients):
            raise Failed("a client did not finish")

        # The stopped server drained and exited 0 (it has DRAINTIMEOUT, 30 s, to do so).
        try:
            status = servers[TERMED].process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            status = "none: it was still running 60 s later"
        if status != 0:
            problems.append(f"{TERMED} exited with status {status} after SIGTERM, not 0: "
                            + servers[TERMED].log_text()[-1000:])
        time.sleep(0.5)  # HAProxy's last log lines

        acknowledged = {o.code for o in outcomes if o.status == 200}
        failed = [o for o in outcomes if o.status != 200]
        logged = proxy.requests()
        print(f"{len(outcomes)} adds in {LOAD_SECONDS} s through HAProxy, {len(acknowledged)} acknowledged, "
              f"{len(failed)} failed; SIGTERM to {TERMED} at {term_at - began:.2f} s, SIGKILL to "
              f"{KILLED} at {kill_at - began:.3f} s, gone at {dead_at - began:.3f} s")

        # Every failure is a request that was in flight on the killed server while it died: HAProxy
        # answered 502 and names that server. On a connection that the client kept from an earlier
        # request HAProxy says nothing at all (it closes the connection and logs nothing), so there
        # the failure must be such a close while the server died, of a request no other server saw.
        for o in failed:
            entries = logged.get(o.code, [])
            during_kill = o.start <= dead_at and o.end >= kill_at and o.end <= dead_at + 2
            if entries:
                excused = all(server == KILLED and status == "502" for server, status, *_ in entries)
            else:
                excused = o.status is None and ("RemoteDisconnected" in o.error or "Reset" in o.error)
            if not (excused and during_kill):
                stopping = any(server == TERMED for server, *_ in entries) or (
                    not entries and o.start <= term_at + 1 and o.end >= term_at)
                problems.append(f"{o.code} failed ({o.status}, {o.error}) from {o.start - began:.3f} s to "
                                f"{o.end - began:.3f} s; HAProxy's log (server, status, state, retries, "
                                f"connect/answer/total ms): {entries or 'nothing'}"
                                + (f"; at the SIGTERM of {TERMED}: the stopping server dropped a connection "
                                   "that HAProxy had made and sent the request on" if stopping else ""))

        # No request reached a server twice; a failed one reached no surviving server.
        seen = {}
        for name, server in servers.items():
            for entry in server.access_log():
                if entry.get("method") == "POST" and str(entry.get("request_id", "")).startswith(prefix):
                    seen.setdefault(entry["request_id"], []).append((name, entry.get("status")))
        for request_id, where in seen.items():
            if len(where) > 1:
                problems.append(f"{request_id} reached the servers {len(where)} times: {where}")
        for o in failed:
            if any(name != KILLED for name, _ in seen.get(o.code, [])):
                problems.append(f"{o.code} failed, yet reached {seen[o.code]}")

        # Each server took its share before it was stopped, and the survivor carried on alone.
        for name in SERVERS:
            if not any(n == name for where in seen.values() for n, _ in where):
                problems.append(f"{name} answered no add")
        late = [o for o in outcomes if o.status == 200 and o.start > kill_at + 2]
        if not late:
            problems.append("no add was acknowledged after the kill")

        # Every acknowledged add is in the database, and the survivor answers it.
        stored = stored_codes(kx, folder, prefix)
        lost = sorted(acknowledged - stored)
        if lost:
            problems.append(f"{len(lost)} acknowledged adds are not in the database: {lost[:10]}")
        sample = sorted(acknowledged)[:: max(1, len(acknowledged) // 20)]
        for code in sample:
            status, body = get_through(servers[SURVIVOR].port, code)
            if status != 200 or f'Code=\\"{code}\\"' not in body:
                problems.append(f"{SURVIVOR} answers {status} for {code}: {body[:200]}")
        if len(acknowledged) < 100:
            problems.append(f"only {len(acknowledged)} adds were acknowledged: the load did not run")
        print(f"{len(failed)} request(s) were broken off on {KILLED}; "
              f"{len(stored & {o.code for o in failed})} of them were written before it died")
    finally:
        if proxy is not None:
            stop(proxy.process)
        for server in servers.values():
            stop(server.process)
        try:
            kx_call(kx, folder, "S_DBHelpForKX", "RunSQL",
                    f"DELETE FROM JB_TYPE_PROFILE WHERE JB_TYPE_CODE LIKE '{prefix}-%'")
        except Exception as e:  # the database is shared and wiped by other tests anyway
            print(f"note: the rows of this run were not removed: {e}")
    return problems


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    kx, source = sys.argv[1], sys.argv[2]
    haproxy = shutil.which("haproxy") or next(
        (p for p in ("/usr/sbin/haproxy", "/usr/local/sbin/haproxy") if os.access(p, os.X_OK)), None)
    if haproxy is None:
        print("SKIPPED: haproxy is not installed (Debian package haproxy)")
        return SKIPPED
    wanted = ("KX_TEST_PG_SERVER", "KX_TEST_PG_DATABASE", "KX_TEST_PG_USER")
    missing = [name for name in wanted if not os.environ.get(name)]
    if missing:
        print(f"SKIPPED: no PostgreSQL server to share ({', '.join(missing)} not set)")
        return SKIPPED

    # Past the deadline the test fails and cleans up like on any other failure.
    def overdue(signum, frame):
        raise Failed(f"the test ran past its {DEADLINE} s")
    signal.signal(signal.SIGALRM, overdue)
    def stopped(signum, frame):
        raise Failed("the test was stopped (SIGTERM)")
    signal.signal(signal.SIGTERM, stopped)
    signal.alarm(DEADLINE)

    folder = tempfile.mkdtemp(prefix="kx-scaleout-")
    prefix = "SO" + os.urandom(3).hex()
    try:
        problems = run(kx, source, haproxy, folder, prefix)
    except Failed as e:
        problems = [str(e)]
    except Exception:
        problems = ["the test broke down: " + traceback.format_exc()]
    finally:
        signal.alarm(0)
    if problems:
        for problem in problems:
            print("FAIL", problem)
        print(f"logs kept in {folder}")
        return 1
    shutil.rmtree(folder, ignore_errors=True)
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Checks deploy/openapi.yaml against what `kx serve` really answers.

Starts the built `kx serve` on a free port in temporary component folders (without a token file,
with one, with an unreachable database, and with one worker and a queue of one), sends one request
or more for every documented (path, method, status), and checks that each answer has the documented
status, media type, headers and body schema, that every documented pair was answered at least once,
and that every status the server gave is documented for its path. Requests whose framing is broken
on purpose, or that stop halfway, are written to the socket as they are.

    service_openapi_test.py KX_BINARY SOURCE_DIR

PostgreSQL is used too when KX_TEST_PG_SERVER ("host,port") names a server.
"""
import copy
import hashlib
import http.client
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

import jsonschema
import yaml

# ---- the description

def to_json_schema(node):
    """The OpenAPI 3.0 schema objects below `node` as JSON Schema: `nullable` becomes a null type."""
    if isinstance(node, list):
        return [to_json_schema(item) for item in node]
    if not isinstance(node, dict):
        return node
    out = {key: to_json_schema(value) for key, value in node.items()
           if key not in ("nullable", "example", "examples")}
    if node.get("nullable") is True:
        if "type" in out:
            out["type"] = [out["type"], "null"]
        else:
            out = {"anyOf": [out, {"type": "null"}]}
    return out


class Description:
    """The paths, operations and responses of openapi.yaml, with its schemas as JSON Schema."""

    def __init__(self, path):
        with open(path, encoding="utf-8") as f:
            self.doc = yaml.safe_load(f)
        if not str(self.doc.get("openapi", "")).startswith("3.0."):
            raise AssertionError("openapi.yaml is not an OpenAPI 3.0 document")
        self.json_doc = to_json_schema(self.doc)
        self.resolver = jsonschema.RefResolver.from_schema(self.json_doc)
        self.templates = []  # (template, regex)
        for template in self.doc["paths"]:
            regex = "^" + re.sub(r"\\\{[^}]+\\\}", "[^/]+", re.escape(template)) + "$"
            self.templates.append((template, re.compile(regex)))

    def resolve(self, node):
        """`node`, or what its local $ref points at."""
        while isinstance(node, dict) and "$ref" in node:
            target = self.doc
            for part in node["$ref"].lstrip("#/").split("/"):
                target = target[part]
            node = target
        return node

    def template_of(self, path):
        """The documented path template `path` falls under, or None."""
        for template, regex in self.templates:
            if regex.match(path):
                return template
        return None

    def statuses(self, template, method):
        """The documented statuses of an operation (none when it is not documented)."""
        operation = self.doc["paths"].get(template, {}).get(method.lower())
        return set(operation["responses"]) if operation else set()

    def pairs(self):
        """Every documented (template, method, status)."""
        for template, item in self.doc["paths"].items():
            for method, operation in item.items():
                if method in ("get", "post", "put", "delete", "patch"):
                    for status in operation["responses"]:
                        yield template, method.upper(), status

    def response(self, template, method, status):
        """The documented response object; requests outside the documented operations get NotFound."""
        operation = self.doc["paths"].get(template, {}).get(method.lower()) if template else None
        if operation is None:
            if status != 404:
                return None
            return self.resolve({"$ref": "#/components/responses/NotFound"})
        return self.resolve(operation["responses"].get(str(status)))

    def validate(self, schema, instance, what):
        """Fails with the validator's reason when `instance` does not fit the OpenAPI `schema`."""
        validator = jsonschema.Draft7Validator(to_json_schema(schema), resolver=self.resolver)
        errors = sorted(validator.iter_errors(instance), key=lambda e: list(e.absolute_path))
        if errors:
            raise AssertionError(f"{what}: {errors[0].message} at {list(errors[0].absolute_path)}")


def check_description(d):
    """The description's own consistency: every response of every operation has a body schema
    and the request-id header, and every failure status of a call answers the error object."""
    problems = []
    for template, method, status in d.pairs():
        response = d.response(template, method, int(status))
        where = f"{method} {template} {status}"
        if "X-Request-Id" not in response.get("headers", {}):
            problems.append(where + ": no X-Request-Id header")
        content = response.get("content", {})
        if not content or any("schema" not in media for media in content.values()):
            problems.append(where + ": no body schema")
        if template.startswith("/v1/") and status != "200":
            schema = content.get("application/json", {}).get("schema", {})
            if schema.get("$ref") != "#/components/schemas/Error":
                problems.append(where + ": a failure of a call must answer the error object")
    if d.response("/v1/{Class}/{Member}", "POST", 401).get("headers", {}).get("WWW-Authenticate") is None:
        problems.append("401 documents no WWW-Authenticate header")
    if "bearer" not in d.doc["components"]["securitySchemes"]:
        problems.append("no bearer security scheme")
    request = d.doc["paths"]["/v1/{Class}/{Member}"]["post"]["requestBody"]["content"]
    for media in ("application/json", "application/xml"):
        if media not in request:
            problems.append("the call documents no " + media + " body")
    if problems:
        raise AssertionError("openapi.yaml: " + "; ".join(problems))


# ---- servers

def free_port():
    """A port nothing listens on (bound once and released)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """`kx serve` in a component folder of its own, on a port it picks."""

    def __init__(self, kx, source, database, tokens=None, body_limit=None, init=True, service=""):
        self.folder = tempfile.mkdtemp(prefix="kx-openapi-")
        with open(os.path.join(self.folder, "Config.ini"), "w") as f:
            f.write("[DATABASE]\n" + database + "[XML]\nXMLSCHEMAPATH=" + source + "/schemas/\n"
                    "[SERVICE]\n" + service)
        self.tokens = None
        if tokens is not None:
            self.tokens = os.path.join(self.folder, "tokens")
            self.write_tokens(tokens)
        if init:
            done = subprocess.run([kx, "--home", self.folder, "--quiet", "init"], capture_output=True, text=True)
            if done.returncode != 0:
                raise AssertionError("kx init failed: " + done.stderr)
        argv = [kx, "--home", self.folder, "--quiet", "serve", "--listen", "127.0.0.1:0"]
        if self.tokens:
            argv += ["--tokens", self.tokens]
        if body_limit:
            argv += ["--body-limit", str(body_limit)]
        self.log = open(os.path.join(self.folder, "serve.log"), "w")
        self.process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=self.log, text=True)
        line = self.process.stdout.readline()
        match = re.match(r"listening on http://([^:]+):(\d+)", line)
        if not match:
            self.stop()
            raise AssertionError("kx serve did not start: " + line + self.log_text())
        self.host, self.port = match.group(1), int(match.group(2))

    def write_tokens(self, clients):
        """Writes the token file: `clients` maps a client's name to (token, patterns)."""
        with open(self.tokens, "w") as f:
            for name, (token, patterns) in clients.items():
                f.write(f"{name} {hashlib.sha256(token.encode()).hexdigest()} {patterns}\n")

    def spoil_tokens(self):
        """Makes the token file unusable (a line without a digest)."""
        with open(self.tokens, "a") as f:
            f.write("broken\n")

    def log_text(self):
        with open(os.path.join(self.folder, "serve.log")) as f:
            return f.read()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()
        shutil.rmtree(self.folder, ignore_errors=True)


# ---- the cases

def call(cls, member, args=None, body=None, content_type="application/json", token=None, headers=None):
    """A POST /v1/CLASS/MEMBER request: {"args": args}, or `body` as it stands."""
    h = dict(headers or {})
    if token:
        h["Authorization"] = "Bearer " + token
    if content_type:
        h["Content-Type"] = content_type
    if body is None:
        body = json.dumps({"args": args}) if args is not None else ""
    return ("POST", f"/v1/{cls}/{member}", h, body)


def get(path, headers=None):
    return ("GET", path, dict(headers or {}), None)


def raw(method, path, data, closes=False):
    """A request written to the socket byte for byte (`data`, which may stop halfway through); with
    `closes`, the service must close the connection after its answer."""
    return (method, path, {}, None, (data, closes))


def fields(count):
    """`count` header fields of a few bytes each."""
    return {f"X-Field-{i}": "1" for i in range(count)}


def chunked(size):
    """A chunked body of `size` bytes in chunks of 1000."""
    out = b""
    while size > 0:
        n = min(size, 1000)
        out += b"%x\r\n" % n + b"x" * n + b"\r\n"
        size -= n
    return out + b"0\r\n\r\n"


def profile(code, name="Truck job", category="TR"):
    return f'<JBTypeProfile Code="{code}" JBTypeName="{name}" JBTypeCategory="{category}"/>'


TP = "C_JBTypeProfile"
CLERK, ADMIN = "clerk-token-1", "admin-token-2"
TOKENS = {"clerk": (CLERK, "C_JBTypeProfile.*"), "admin": (ADMIN, "C_*.*,S_DBHelpForKX.RunSQL*")}
SEARCH = {"ResultCount": 0, "ResultPages": 0, "CountPerPage": 10, "PageNumber": 1,
          "AccessKey": '<AccessKeys><AccessKey Field="JBTypeName" SearchCondition="Include" Key="job"/></AccessKeys>'}


# Documented answers no request from outside can bring about.
UNREACHABLE = {
    ("/v1/{Class}/{Member}", "POST", "500"):
        "an internal failure: every failure a request can cause is the caller's, the component's or "
        "the database's",
}

# A case may carry a fourth element, the text of a known fault of the service: such a case must
# fail as described until the fault is mended (and must then lose its mark). A documented status
# that only such cases would bring about is not required to have been answered meanwhile.

def open_cases():
    """Requests to a service without a token file, each with the status it must get. The type
    profile members run in order: what one adds, the next ones read, change and remove."""
    return [
        ("health", get("/healthz"), 200),
        ("ready", get("/readyz"), 200),
        ("metrics", get("/metrics"), 200),
        ("add by position", call(TP, "add", [profile("SVC1")]), 200),
        ("add an XML body", call(TP, "add", body=profile("SVC2"), content_type="application/xml"), 200),
        ("add a text/xml body", call(TP, "add", body=profile("SVC3"), content_type="text/xml"), 200),
        ("add without a content type", call(TP, "add", [profile("SVC4")], content_type=None), 200),
        ("get by position", call(TP, "getElementByXML", ["SVC1"]), 200),
        ("get by name", call(TP, "getElementByXML", {"key": "SVC2"}), 200),
        ("modify by name", call(TP, "modify", {"ElementXml": profile("SVC1", "Rail job", "RL")}), 200),
        ("query by name", call(TP, "queryOwnedElementsByXML", SEARCH), 200),
        ("query by position, defaults", call(TP, "queryOwnedElementsByXML", [0, 0]), 200),
        ("remove", call(TP, "remove", ["SVC2"]), 200),
        ("containsKey", call(TP, "containsKey", ["SVC1"]), 200),
        ("caller's request id", get("/healthz", {"X-Request-Id": "abc-123_x.y"}), 200),
        ("unusable request id", get("/healthz", {"X-Request-Id": "not usable!"}), 200),
        ("get of a removed code", call(TP, "getElementByXML", ["SVC2"]), 422),
        ("add of an existing code", call(TP, "add", [profile("SVC1")]), 422),
        ("add of an invalid document", call(TP, "add", ["<JBTypeProfile"]), 422),
        ("body not JSON", call(TP, "getElementByXML", body='{"args": ['), 400),
        ("body not an object", call(TP, "getElementByXML", body='["SVC1"]'), 400),
        ("unknown key in the body", call(TP, "getElementByXML", body='{"args": [], "x": 1}'), 400),
        ("argument an object", call(TP, "getElementByXML", [{"a": 1}]), 400),
        ("unknown parameter name", call(TP, "getElementByXML", {"key": "SVC1", "Nope": 1}), 400),
        ("missing parameter", call(TP, "getElementByXML", {}), 400),
        ("too many arguments", call(TP, "getElementByXML", ["SVC1", "x", "y"]), 400),
        ("body nested too deep", call(TP, "getElementByXML", body='{"args": ' + "[" * 40 + "]" * 40 + "}"), 400),
        ("unknown class", call("C_Nothing", "add", ["x"]), 404),
        ("unknown member", call(TP, "nothing", ["x"]), 404),
        ("unknown path", get("/v2/nothing"), 404),
        ("GET of a call", get(f"/v1/{TP}/getElementByXML"), 404),
        ("POST of health", ("POST", "/healthz", {}, ""), 404),
        ("body over the limit", call(TP, "add", [profile("SVC9", "x" * 5000)]), 413),
        ("chunked body over the limit", raw("POST", f"/v1/{TP}/add",
                                            b"POST /v1/C_JBTypeProfile/add HTTP/1.1\r\nHost: kx\r\n"
                                            b"Content-Type: application/xml\r\nTransfer-Encoding: chunked\r\n\r\n"
                                            + chunked(5000)), 413),
        ("other content type", call(TP, "add", body=profile("SVC5"), content_type="text/plain"), 415),
        ("media type in capitals", call(TP, "add", body=profile("SVC6"), content_type="APPLICATION/XML"), 200),
        ("JSON number out of range", call(TP, "getElementByXML", body='{"args": [1e999]}'), 400),
        ("JSON key given twice", call(TP, "getElementByXML", body='{"args": ["SVC1"], "args": ["SVC1"]}'), 400),
        # Framing the service cannot read one way only: refused, and the connection closed.
        ("Content-Length and Transfer-Encoding", raw("POST", f"/v1/{TP}/getElementByXML",
                                                     b"POST /v1/C_JBTypeProfile/getElementByXML HTTP/1.1\r\n"
                                                     b"Host: kx\r\nContent-Length: 5\r\n"
                                                     b"Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", closes=True), 400),
        ("two Content-Length fields", raw("POST", f"/v1/{TP}/getElementByXML",
                                          b"POST /v1/C_JBTypeProfile/getElementByXML HTTP/1.1\r\nHost: kx\r\n"
                                          b"Content-Length: 2\r\nContent-Length: 3\r\n\r\n{}", closes=True), 400),
        ("Content-Length no number", raw("POST", f"/v1/{TP}/getElementByXML",
                                         b"POST /v1/C_JBTypeProfile/getElementByXML HTTP/1.1\r\nHost: kx\r\n"
                                         b"Content-Length: 2x\r\n\r\n{}", closes=True), 400),
        ("transfer coding other than chunked", raw("POST", f"/v1/{TP}/getElementByXML",
                                                   b"POST /v1/C_JBTypeProfile/getElementByXML HTTP/1.1\r\n"
                                                   b"Host: kx\r\nTransfer-Encoding: gzip\r\n\r\n", closes=True), 400),
        ("health without Host", raw("GET", "/healthz", b"GET /healthz HTTP/1.1\r\n\r\n", closes=True), 400),
        ("ready with a control character in a header",
         raw("GET", "/readyz", b"GET /readyz HTTP/1.1\r\nHost: kx\r\nX-Note: a\x01b\r\n\r\n", closes=True), 400),
        ("metrics with bare LF line ends",
         raw("GET", "/metrics", b"GET /metrics HTTP/1.1\nHost: kx\n\n", closes=True), 400),
        # Heads over the limits: more than 32 KiB, or more than 100 fields.
        ("header over 32 KiB", call(TP, "getElementByXML", ["SVC1"], headers={"X-Big": "x" * 33000}), 431),
        ("path over 32 KiB", call("C_" + "x" * 33000, "add", ["x"]), 431),
        ("health with 101 header fields", get("/healthz", fields(101)), 431),
        ("ready with a header over 32 KiB", get("/readyz", {"X-Big": "x" * 33000}), 431),
        ("metrics with 101 header fields", get("/metrics", fields(101)), 431),
        # A head or a body that does not arrive within HEADTIMEOUT or BODYTIMEOUT (1 s here).
        ("head of a call not finished", raw("POST", f"/v1/{TP}/getElementByXML",
                                            b"POST /v1/C_JBTypeProfile/getElementByXML HTTP/1.1\r\nHost: kx\r\n",
                                            closes=True), 408),
        ("body of a call not finished", raw("POST", f"/v1/{TP}/getElementByXML",
                                            b"POST /v1/C_JBTypeProfile/getElementByXML HTTP/1.1\r\nHost: kx\r\n"
                                            b"Content-Length: 100\r\n\r\n{\"args\": ", closes=True), 408),
        ("head of health not finished", raw("GET", "/healthz", b"GET /healthz HTTP/1.1\r\nHost: kx\r\n",
                                            closes=True), 408),
        ("head of ready not finished", raw("GET", "/readyz", b"GET /readyz HTTP/1.1\r\n", closes=True), 408),
        ("head of metrics not finished", raw("GET", "/metrics", b"GET /metrics HTTP/1.1\r\nHost: k", closes=True),
         408),
        ("who without tokens", get("/v1/_me"), 200),
        ("who without Host", raw("GET", "/v1/_me", b"GET /v1/_me HTTP/1.1\r\n\r\n", closes=True), 400),
        ("who with 101 header fields", get("/v1/_me", fields(101)), 431),
        ("head of who not finished", raw("GET", "/v1/_me", b"GET /v1/_me HTTP/1.1\r\nHost: kx\r\n", closes=True), 408),
        ("S_DBHelpForKX without tokens", call("S_DBHelpForKX", "RunSQLReturnRS", ["select 1"]), 403),
        ("a storage without tokens", call("S_JBTypeProfile", "containsPK", ["SVC1"]), 403),
    ]


def guarded_cases(server):
    """Requests to a service with a token file; the last ones spoil the file."""
    return [
        ("no token", call(TP, "getElementByXML", ["SVC1"]), 401),
        ("unknown token", call(TP, "getElementByXML", ["SVC1"], token="nobody"), 401),
        ("not a bearer token", call(TP, "getElementByXML", ["SVC1"], headers={"Authorization": "Basic eDp5"}), 401),
        ("clerk adds", call(TP, "add", [profile("SVG1")], token=CLERK), 200),
        ("clerk gets", call(TP, "getElementByXML", ["SVG1"], token=CLERK), 200),
        ("clerk calls job orders", call("C_JBOrder", "getElementByXML", ["1"], token=CLERK), 403),
        ("clerk calls S_DBHelpForKX", call("S_DBHelpForKX", "RunSQLReturnRS", ["select 1"], token=CLERK), 403),
        ("admin calls an entity", call("E_JBTypeProfile", "isDirty", [], token=ADMIN), 403),
        ("admin reads rows", call("S_DBHelpForKX", "RunSQLReturnRS",
                                  ["select JB_TYPE_CODE, JB_TYPE_NAME from JB_TYPE_PROFILE"], token=ADMIN), 200),
        ("admin reads no rows", call("S_DBHelpForKX", "RunSQLReturnRS",
                                     ["select JB_TYPE_CODE from JB_TYPE_PROFILE where 1 = 0"], token=ADMIN), 200),
        ("metrics need no token", get("/metrics"), 200),
        ("who is the clerk", get("/v1/_me", {"Authorization": f"Bearer {CLERK}"}), 200),
        ("who without a token", get("/v1/_me"), 401),
        ("unknown class before its token", call("C_Nothing", "add", ["x"]), 401),
        (None, server.spoil_tokens, None),
        ("call with a spoilt token file", call(TP, "getElementByXML", ["SVG1"], token=CLERK), 503),
        ("who with a spoilt token file", get("/v1/_me", {"Authorization": f"Bearer {CLERK}"}), 503),
        # The reason told to a caller without a valid token names no path.
        ("ready with a spoilt token file", get("/readyz"), (503, {}, [server.folder])),
    ]


def busy_cases(server):
    """Requests to a service with one worker and a queue of one: while one slow call runs and
    another waits, a third call is refused at once with Retry-After."""
    slow = []

    def send_slow():
        request = call("S_DBHelpForKX", "RunSQLReturnRS", [SLOW_SQL], token=ADMIN)
        for _ in range(2):  # the first one runs, the second one waits
            t = threading.Thread(target=Checker.send, args=(server, request))
            t.start()
            slow.append(t)
            time.sleep(0.5)

    def join_slow():
        for t in slow:
            t.join(timeout=120)

    return [
        (None, send_slow, None),
        ("call while the queue is full", call(TP, "getElementByXML", ["SVC1"], token=CLERK), (503, {"Retry-After": "1"})),
        (None, join_slow, None),
    ]


# A statement that keeps SQLite busy for some seconds.
SLOW_SQL = ("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000000) "
            "SELECT count(*) AS c FROM n")


def unreachable_cases(port):
    """Requests to a service whose database (on `port`) does not answer. What the caller is told
    names no host, port or user."""
    secret = ["127.0.0.1", str(port), "USERID", "user \"kx\""]
    return [
        ("health without a database", get("/healthz"), 200),
        ("call without a database", call(TP, "getElementByXML", ["SVC1"]), (503, {}, secret)),
        ("ready without a database", get("/readyz"), (503, {}, secret)),
    ]


# ---- running and checking

class Checker:
    def __init__(self, description):
        self.d = description
        self.produced = {}  # (template or None, method) -> statuses
        self.failures = []
        self.known = {}  # (template, method, status) -> the known fault that keeps it from being answered

    @staticmethod
    def send(server, request):
        if len(request) == 5:
            return Checker.send_raw(server, request)
        method, path, headers, body = request
        connection = http.client.HTTPConnection(server.host, server.port, timeout=60)
        try:
            connection.request(method, path, body=body.encode() if isinstance(body, str) else body,
                               headers=headers)
            answer = connection.getresponse()
            return answer.status, {k.lower(): v for k, v in answer.getheaders()}, answer.read()
        finally:
            connection.close()

    @staticmethod
    def send_raw(server, request):
        """Writes the request as it stands and reads the answer; with `closes`, the service must
        then close the connection (within a few seconds, without sending anything more)."""
        method, _, _, _, (data, closes) = request
        with socket.create_connection((server.host, server.port), timeout=20) as s:
            s.sendall(data)
            answer = http.client.HTTPResponse(s, method=method)
            try:
                answer.begin()
            except (http.client.HTTPException, OSError) as e:
                raise AssertionError(f"no answer: {type(e).__name__}: {e}")
            result = answer.status, {k.lower(): v for k, v in answer.getheaders()}, answer.read()
            if closes:
                s.settimeout(10)
                try:
                    more = s.recv(1)
                except ConnectionResetError:
                    more = b""
                except socket.timeout:
                    more = None
                if more != b"":
                    raise AssertionError(f"status {result[0]}: the connection was not closed after the answer")
            return result

    def run(self, label, server, cases):
        for name, request, expected, *known in cases:
            if name is None:  # a step between requests
                request()
                continue
            try:
                self.check(server, request, expected)
                if known:
                    self.failures.append(f"{label}: {name}: passes now: remove its mark ({known[0]})")
            except AssertionError as e:
                if known:
                    print(f"KNOWN FAULT {label}: {name}: {e} ({known[0]})")
                    status = expected[0] if isinstance(expected, tuple) else expected
                    self.known[(self.d.template_of(request[1]), request[0], str(status))] = known[0]
                else:
                    self.failures.append(f"{label}: {name}: {e}")
            except Exception as e:  # the request itself failed
                self.failures.append(f"{label}: {name}: {type(e).__name__}: {e}")

    def check(self, server, request, expected):
        method, path, sent = request[:3]
        # `expected`: the status, or (status, {header: value}[, [texts the body must not hold]]).
        expected, wanted_headers, *unsaid = expected if isinstance(expected, tuple) else (expected, {})
        status, headers, raw = self.send(server, request)
        template = self.d.template_of(path)
        if template is not None and not self.d.statuses(template, method):
            template = None  # a method the path does not document
        self.produced.setdefault((template, method), set()).add(status)
        if status != expected:
            raise AssertionError(f"status {status}, expected {expected}: {raw[:300]!r}")
        response = self.d.response(template, method, status)
        if response is None:
            raise AssertionError(f"status {status} of {method} {template or path} is not documented")
        given = sent.get("X-Request-Id")
        if given and re.fullmatch(r"[A-Za-z0-9._-]{1,64}", given) and headers.get("x-request-id") != given:
            raise AssertionError(f"the caller's request id {given} came back as {headers.get('x-request-id')}")
        if given and not re.fullmatch(r"[A-Za-z0-9._-]{1,64}", given) and headers.get("x-request-id") == given:
            raise AssertionError("an unusable request id came back as it was")
        media = headers.get("content-type", "").split(";")[0].strip()
        content = response.get("content", {})
        if media not in content:
            raise AssertionError(f"content type {media!r}, documented {sorted(content)}")
        schema = content[media]["schema"]
        if media == "application/json":
            try:
                body = json.loads(raw.decode("utf-8"))
            except (UnicodeDecodeError, ValueError) as e:
                raise AssertionError(f"the body is not JSON ({e}): {raw[:300]!r}")
        else:
            body = raw.decode("utf-8")
        self.d.validate(schema, body, f"{status} body {raw[:200]!r}")
        for name, header in response.get("headers", {}).items():
            header = self.d.resolve(header)
            value = headers.get(name.lower())
            if value is None:
                if header.get("required"):
                    raise AssertionError(f"no {name} header")
                continue
            self.d.validate(header["schema"], value, f"header {name}")
        for name, value in wanted_headers.items():
            if headers.get(name.lower()) != value:
                raise AssertionError(f"header {name}: {headers.get(name.lower())!r}, expected {value!r}")
        for text in unsaid[0] if unsaid else []:
            if text in raw.decode("utf-8", "replace"):
                raise AssertionError(f"the answer tells {text!r}: {raw[:300]!r}")

    def coverage(self):
        """Every documented pair answered (but those no request can reach), every answered status
        documented."""
        for template, method, status in self.d.pairs():
            if (template, method, status) in UNREACHABLE:
                print(f"not sent: {method} {template} {status}: {UNREACHABLE[(template, method, status)]}")
                continue
            if int(status) in self.produced.get((template, method), set()):
                continue
            if (template, method, status) in self.known:
                print(f"not answered: {method} {template} {status}: {self.known[(template, method, status)]}")
                continue
            self.failures.append(f"no request got the documented status {status} of {method} {template}")
        for (template, method), statuses in self.produced.items():
            documented = {int(s) for s in self.d.statuses(template, method)} if template else {404}
            for status in sorted(statuses - documented):
                self.failures.append(f"{method} {template or '(undocumented path)'} answered the "
                                     f"undocumented status {status}")


def engines():
    """The Config.ini lines of section DATABASE for each engine under test."""
    found = [("SQLite", "PROVIDER=SQLite\nDATABASENAME=svc\n")]
    pg = os.environ.get("KX_TEST_PG_SERVER")
    if pg:
        found.append(("PostgreSQL", f"PROVIDER=PostgreSQL\nSERVERNAME={pg}\nDATABASENAME="
                      f"{os.environ.get('KX_TEST_PG_DATABASE', 'kxtest')}\nUSERID="
                      f"{os.environ.get('KX_TEST_PG_USER', 'kx')}\nPASSWORD=\n"))
    return found


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    kx, source = sys.argv[1], sys.argv[2]
    d = Description(os.path.join(source, "deploy", "openapi.yaml"))
    check_description(d)
    checker = Checker(d)

    for engine, database in engines():
        if engine == "PostgreSQL":  # the shared test database: start from no type profiles
            cleanup = Server(kx, source, database, tokens=TOKENS)
            checker.send(cleanup, call("S_DBHelpForKX", "RunSQL", ["DELETE FROM JB_TYPE_PROFILE"], token=ADMIN))
            cleanup.stop()
        server = Server(kx, source, database, body_limit=4096, service="HEADTIMEOUT=1\nBODYTIMEOUT=1\n")
        try:
            checker.run(engine + " without tokens", server, open_cases())
        finally:
            server.stop()
        server = Server(kx, source, database, tokens=TOKENS)
        try:
            checker.run(engine + " with tokens", server, guarded_cases(server))
        finally:
            server.stop()

    server = Server(kx, source, "PROVIDER=SQLite\nDATABASENAME=busy\n", tokens=TOKENS,
                    service="WORKERS=1\nQUEUE=1\n")
    try:
        checker.run("one worker", server, busy_cases(server))
    finally:
        server.stop()

    port = free_port()
    unreachable = f"PROVIDER=PostgreSQL\nSERVERNAME=127.0.0.1,{port}\nDATABASENAME=kx\nUSERID=kx\nPASSWORD=\n"
    server = Server(kx, source, unreachable, init=False)
    try:
        checker.run("unreachable database", server, unreachable_cases(port))
    finally:
        server.stop()

    checker.coverage()
    for failure in checker.failures:
        print("FAIL", failure)
    print(f"{len(checker.failures)} failure(s)")
    return 1 if checker.failures else 0


if __name__ == "__main__":
    sys.exit(main())

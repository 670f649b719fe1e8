#!/usr/bin/env python3
"""Two corvane-httpd --sessions behind nginx, which balances sessions with
`hash $cookie_corvane_session consistent`: visitors keep their own
conversations across 50 turns each, and each host holds only the sessions
the balancer sends it. Everything listens on loopback ports; the processes
are the test's own and are ended by PID. nginx comes from Debian
(scripts/deps.sh installs it when missing and run as root); without it the
test is skipped (exit 77).

usage: scale_out_test.py BINARY_DIR SOURCE_DIR
"""
import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77
TURNS = 50
VISITORS = 6  # Two would all too often share one host; six spread.

KB = (
    "For-Mode\r\n"
    "  Fragment Initialize,0,0, {}, {}, {}\r\n"
    "  Response {Welcome.},Just Text,{},{}\r\n"
    "For-Mode\r\n"
    "  Fragment EXTRACT,80,0, {my name is ^Extr{UserName}}, {}, {}\r\n"
    "  Response {Hello ^Fact{UserName}.},Just Text,{},{}\r\n"
    "For-Mode\r\n"
    "  Fragment CUSTOM,10,30000, {turn}, {}, {}\r\n"
    "  Response {^Fact{UserName} said ^Input{0}, before that ^Input{1}.},"
    "Just Text,{},{}\r\n"
)


def find_nginx(source_dir):
    for path in (shutil.which("nginx"), "/usr/sbin/nginx"):
        if path and os.access(path, os.X_OK):
            return path
    if os.geteuid() == 0:
        subprocess.run(
            ["bash", "-c", ". scripts/deps.sh && corvane_install_optional"],
            cwd=source_dir, stdout=sys.stderr, check=False, timeout=600)
        for path in (shutil.which("nginx"), "/usr/sbin/nginx"):
            if path and os.access(path, os.X_OK):
                return path
    return None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(log_path, proc):
    for _ in range(1000):
        with open(log_path) as f:
            m = re.search(r"http://127\.0\.0\.1:(\d+)/", f.read())
        if m:
            return int(m.group(1))
        if proc.poll() is not None:
            break
        time.sleep(0.01)
    raise AssertionError("corvane-httpd named no port")


def wait_listening(port, proc):
    for _ in range(1000):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            if proc.poll() is not None:
                raise AssertionError("nginx exited with %d" % proc.returncode)
            time.sleep(0.01)
    raise AssertionError("nginx did not listen")


NGINX_CONF = """
daemon off;
master_process off;
worker_processes 1;
pid {work}/nginx.pid;
error_log {work}/nginx-error.log warn;
events {{ worker_connections 256; }}
http {{
  access_log off;
  client_body_temp_path {work}/tmp/body;
  proxy_temp_path {work}/tmp/proxy;
  fastcgi_temp_path {work}/tmp/fastcgi;
  uwsgi_temp_path {work}/tmp/uwsgi;
  scgi_temp_path {work}/tmp/scgi;
  upstream corvane {{
    hash $cookie_corvane_session consistent;
    server 127.0.0.1:{port_a};
    server 127.0.0.1:{port_b};
    keepalive 8;
  }}
  server {{
    listen 127.0.0.1:{port};
    location / {{
      proxy_pass http://corvane;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_set_header Host $host;
    }}
  }}
}}
"""


class Visitor:
    def __init__(self, port, name):
        self.port = port
        self.name = name
        self.cookie = None

    def request(self, method, path, body=None, headers=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=20)
        headers = dict(headers or {})
        if self.cookie:
            headers["Cookie"] = "corvane_session=" + self.cookie
        conn.request(method, path, body=body, headers=headers)
        r = conn.getresponse()
        data = r.read()
        for value in r.msg.get_all("Set-Cookie") or []:
            m = re.match(r"corvane_session=([0-9a-f]{32});", value)
            if m:
                if self.cookie and m.group(1) != self.cookie:
                    raise AssertionError("%s got a new session mid-conversation"
                                         % self.name)
                self.cookie = m.group(1)
        conn.close()
        assert r.status == 200, (r.status, data)
        return data.decode("utf-8")

    def say(self, text):
        body = json.dumps({"input": text}).encode("utf-8")
        return json.loads(self.request(
            "POST", "/api/reply", body,
            {"Content-Type": "application/json"}))["reply"]


def main():
    binary_dir, source_dir = sys.argv[1], sys.argv[2]
    nginx = find_nginx(source_dir)
    if nginx is None:
        if os.environ.get("CI", "") not in ("", "0", "false"):
            print("nginx is not installed; CI must run this test")
            return 1
        print("nginx is not installed; skipped")
        return SKIP
    work = tempfile.mkdtemp(prefix="corvane-scale-")
    os.makedirs(os.path.join(work, "tmp"))
    procs = []
    try:
        hosts = []
        for tag in ("a", "b"):
            root = os.path.join(work, "root-" + tag)
            os.makedirs(root)
            with open(os.path.join(root, "CorvWebDemo.clf"), "w", newline="") as f:
                f.write(KB)
            shutil.copy(os.path.join(source_dir, "demo", "wwwroot",
                                     "web_corvane_example.htm"), root)
            log_path = os.path.join(work, "httpd-%s.log" % tag)
            sessions = os.path.join(work, "sessions-" + tag)
            log = open(log_path, "w")
            proc = subprocess.Popen(
                [os.path.join(binary_dir, "corvane-httpd"), "--port", "0",
                 "--root", root, "--sessions", "--session-dir", sessions],
                stderr=log)
            procs.append(proc)
            hosts.append({"proc": proc, "log": log_path, "sessions": sessions,
                          "port": wait_for_port(log_path, proc)})

        port = free_port()
        conf = os.path.join(work, "nginx.conf")
        with open(conf, "w") as f:
            f.write(NGINX_CONF.format(work=work, port=port,
                                      port_a=hosts[0]["port"],
                                      port_b=hosts[1]["port"]))
        nginx_proc = subprocess.Popen(
            [nginx, "-c", conf, "-p", work, "-e", os.path.join(work, "nginx-error.log")],
            stdout=sys.stderr, stderr=sys.stderr)
        procs.append(nginx_proc)
        wait_listening(port, nginx_proc)

        visitors = [Visitor(port, "guest%d" % i) for i in range(VISITORS)]
        for v in visitors:
            # Like a browser: the page first, which gives the session id.
            page = v.request("GET", "/")
            assert "<#" not in page
            assert v.cookie, "the page gave no session"
            reply = v.say("my name is " + v.name)
            assert reply == "Welcome.  Hello %s." % v.name, reply
        for turn in range(1, TURNS + 1):
            for v in visitors:
                reply = v.say("turn %d" % turn)
                before = ("turn %d" % (turn - 1)) if turn > 1 else \
                    "my name is " + v.name
                expected = "%s said turn %d, before that %s." % (
                    v.name, turn, before)
                assert reply == expected, (v.name, reply, expected)

        # Stop everything; each host saves the sessions it holds.
        nginx_proc.send_signal(signal.SIGQUIT)
        nginx_proc.wait(timeout=20)
        for h in hosts:
            h["proc"].send_signal(signal.SIGTERM)
            assert h["proc"].wait(timeout=30) == 0, open(h["log"]).read()

        held = []
        for h in hosts:
            names = set()
            if os.path.isdir(h["sessions"]):
                names = {n[:-4] for n in os.listdir(h["sessions"])
                         if n.endswith(".clf")}
            held.append(names)
        cookies = {v.cookie for v in visitors}
        assert len(cookies) == VISITORS
        # Every visitor's session lives on exactly one host, and no host
        # holds a session that is not a visitor's.
        assert held[0] | held[1] == cookies, (held, cookies)
        assert not (held[0] & held[1]), held
        # A host's requests are the ones of its own sessions: 1 page and
        # TURNS + 1 lines per visitor, the page of a new visitor going to
        # the host of the empty cookie.
        counts = [open(h["log"]).read().count("POST /api/reply 200")
                  for h in hosts]
        for i in range(2):
            assert counts[i] == len(held[i]) * (TURNS + 1), (counts, held)
        for v in visitors:
            home = 0 if v.cookie in held[0] else 1
            with open(os.path.join(hosts[home]["sessions"],
                                   v.cookie + ".clf"), newline="") as f:
                assert "Fact {USERNAME} = {%s}" % v.name in f.read()
        for h in hosts:
            with open(os.path.join(os.path.dirname(h["sessions"]),
                                   "root-" + h["sessions"][-1],
                                   "CorvWebDemo.clf"), newline="") as f:
                assert f.read() == KB, "the author's file was written"
        print("sessions per host:", [len(s) for s in held])
        return 0
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

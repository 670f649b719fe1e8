#!/usr/bin/env python3
"""Two corvane-httpd --sessions --store redis://... behind nginx with plain
round robin (no stickiness), one Redis: 20 visitors x 50 turns get exactly
the replies one host gives them, although consecutive turns land on
different hosts; one host is killed (SIGKILL) in the middle and the other
continues every conversation. Everything listens on loopback ports; the
processes are the test's own and are ended by PID. nginx and redis-server
come from Debian (scripts/deps.sh installs them when missing and run as
root); without them the test is skipped (exit 77), and fails in CI.

usage: scale_out_store_test.py BINARY_DIR SOURCE_DIR
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
VISITORS = 20

KB = (
    "For-Mode\r\n"
    "  Fragment Initialize,0,0, {}, {}, {}\r\n"
    "  Response {},Assignment,{n},{0}\r\n"
    "For-Mode\r\n"
    "  Fragment Initialize,0,0, {}, {}, {}\r\n"
    "  Response {Welcome.},Just Text,{},{}\r\n"
    "For-Mode\r\n"
    "  Fragment EXTRACT,80,0, {my name is ^Extr{UserName}}, {}, {}\r\n"
    "  Response {Hello ^Fact{UserName}.},Just Text,{},{}\r\n"
    "For-Mode\r\n"
    "  Fragment CUSTOM,10,30000, {turn}, {}, {}\r\n"
    "  Response {^Fact{UserName} n=^Add{^Fact{n}|1} said ^Input{0}, before "
    "that ^Input{1}.},Assignment,{n},{^Add{^Fact{n}|1}}\r\n"
)


def find(program, source_dir):
    for path in (shutil.which(program), "/usr/sbin/" + program,
                 "/usr/bin/" + program):
        if path and os.access(path, os.X_OK):
            return path
    if os.geteuid() == 0:
        subprocess.run(
            ["bash", "-c", ". scripts/deps.sh && corvane_install_optional"],
            cwd=source_dir, stdout=sys.stderr, check=False, timeout=600)
        for path in (shutil.which(program), "/usr/sbin/" + program,
                     "/usr/bin/" + program):
            if path and os.access(path, os.X_OK):
                return path
    return None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(log_path, proc):
    for _ in range(2000):
        with open(log_path) as f:
            m = re.search(r"http://127\.0\.0\.1:(\d+)/", f.read())
        if m:
            return int(m.group(1))
        if proc.poll() is not None:
            break
        time.sleep(0.01)
    raise AssertionError("corvane-httpd named no port: " + open(log_path).read())


def wait_listening(port, proc, what):
    for _ in range(2000):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            if proc.poll() is not None:
                raise AssertionError("%s exited with %d" % (what, proc.returncode))
            time.sleep(0.01)
    raise AssertionError("%s did not listen" % what)


# Round robin; a host that refuses connections is skipped for the request
# (a POST is retried on the other host only when the first one could not
# be reached, which is safe: it never ran the turn).
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
    server 127.0.0.1:{port_a} max_fails=0;
    server 127.0.0.1:{port_b} max_fails=0;
  }}
  server {{
    listen 127.0.0.1:{port};
    location / {{
      proxy_pass http://corvane;
      proxy_next_upstream error;
      proxy_connect_timeout 2s;
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

    def say(self, text):
        body = json.dumps({"input": text}).encode("utf-8")
        headers = {"Content-Type": "application/json"}
        if self.cookie:
            headers["Cookie"] = "corvane_session=" + self.cookie
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=20)
        conn.request("POST", "/api/reply", body=body, headers=headers)
        r = conn.getresponse()
        data = r.read()
        for value in r.msg.get_all("Set-Cookie") or []:
            m = re.match(r"corvane_session=([0-9a-f]{32});", value)
            if m:
                if self.cookie and m.group(1) != self.cookie:
                    raise AssertionError("%s got a new conversation mid-way"
                                         % self.name)
                self.cookie = m.group(1)
        conn.close()
        assert r.status == 200, (self.name, r.status, data)
        return json.loads(data.decode("utf-8"))["reply"]


def expected(name, turn):
    before = ("turn %d" % (turn - 1)) if turn > 1 else "my name is " + name
    return "%s n=%d said turn %d, before that %s." % (name, turn, turn, before)


def main():
    binary_dir, source_dir = sys.argv[1], sys.argv[2]
    nginx = find("nginx", source_dir)
    redis = find("redis-server", source_dir)
    if nginx is None or redis is None:
        if os.environ.get("CI", "") not in ("", "0", "false"):
            print("nginx or redis-server is not installed; CI must run this test")
            return 1
        print("nginx or redis-server is not installed; skipped")
        return SKIP
    work = tempfile.mkdtemp(prefix="corvane-scale-store-")
    os.makedirs(os.path.join(work, "tmp"))
    procs = []
    try:
        redis_port = free_port()
        redis_proc = subprocess.Popen(
            [redis, "--port", str(redis_port), "--bind", "127.0.0.1",
             "--dir", work, "--save", "", "--appendonly", "yes",
             "--appendfsync", "everysec", "--daemonize", "no",
             "--logfile", os.path.join(work, "redis.log")])
        procs.append(redis_proc)
        wait_listening(redis_port, redis_proc, "redis-server")
        url = "redis://127.0.0.1:%d" % redis_port

        root = os.path.join(work, "root")
        os.makedirs(root)
        with open(os.path.join(root, "CorvWebDemo.clf"), "w", newline="") as f:
            f.write(KB)
        shutil.copy(os.path.join(source_dir, "demo", "wwwroot",
                                 "web_corvane_example.htm"), root)
        hosts = []
        for tag in ("a", "b"):
            log_path = os.path.join(work, "httpd-%s.log" % tag)
            log = open(log_path, "w")
            proc = subprocess.Popen(
                [os.path.join(binary_dir, "corvane-httpd"), "--port", "0",
                 "--root", root, "--sessions", "--store", url,
                 "--max-conns-per-address", "0"],
                stderr=log)
            procs.append(proc)
            hosts.append({"proc": proc, "log": log_path,
                          "port": wait_for_port(log_path, proc)})

        port = free_port()
        conf = os.path.join(work, "nginx.conf")
        with open(conf, "w") as f:
            f.write(NGINX_CONF.format(work=work, port=port,
                                      port_a=hosts[0]["port"],
                                      port_b=hosts[1]["port"]))
        nginx_proc = subprocess.Popen(
            [nginx, "-c", conf, "-p", work, "-e",
             os.path.join(work, "nginx-error.log")],
            stdout=sys.stderr, stderr=sys.stderr)
        procs.append(nginx_proc)
        wait_listening(port, nginx_proc, "nginx")

        visitors = [Visitor(port, "guest%d" % i) for i in range(VISITORS)]
        for v in visitors:
            reply = v.say("my name is " + v.name)
            assert reply == "Welcome.  Hello %s." % v.name, reply
        for turn in range(1, TURNS + 1):
            if turn == TURNS // 2:
                # One host dies; the balancer's next requests find the other.
                hosts[0]["proc"].send_signal(signal.SIGKILL)
                hosts[0]["proc"].wait(timeout=20)
            for v in visitors:
                reply = v.say("turn %d" % turn)
                assert reply == expected(v.name, turn), (v.name, reply)

        counts = [open(h["log"]).read().count("POST /api/reply 200")
                  for h in hosts]
        # Round robin spread the turns over both hosts, and the survivor
        # took every turn after the kill (the killed host's last access
        # lines may not have been written).
        assert counts[0] > VISITORS * 5 and counts[1] > VISITORS * 5, counts
        assert counts[1] >= VISITORS * (TURNS - TURNS // 2 + 1), counts
        print("turns per host:", counts)
        return 0
    finally:
        for p in reversed(procs):
            if p.poll() is None:
                p.kill()
                p.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

"""What the scale-out tests share: finding nginx and redis-server (installed
from Debian by scripts/deps.sh when missing and run as root), free loopback
ports, waiting for a process to listen, nginx in front of two hosts, and a
visitor that talks to the JSON API with its cookie. Everything listens on
loopback; the processes are the test's own and are ended by PID.
"""
import http.client
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import time

SKIP = 77


def find(program, source_dir):
    """The path of `program`, installing the optional packages when missing
    and run as root; None when it is not to be had."""
    def look():
        for path in (shutil.which(program), "/usr/sbin/" + program,
                     "/usr/bin/" + program):
            if path and os.access(path, os.X_OK):
                return path
        return None
    path = look()
    if path is None and os.geteuid() == 0:
        subprocess.run(
            ["bash", "-c", ". scripts/deps.sh && corvane_install_optional"],
            cwd=source_dir, stdout=sys.stderr, check=False, timeout=600)
        path = look()
    return path


def missing(what):
    """The exit status for a test whose tools are missing: a failure in CI,
    a skip elsewhere."""
    if os.environ.get("CI", "") not in ("", "0", "false"):
        print("%s is not installed; CI must run this test" % what)
        return 1
    print("%s is not installed; skipped" % what)
    return SKIP


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(log_path, proc):
    """The port a corvane-httpd names in its first line."""
    for _ in range(2000):
        with open(log_path) as f:
            m = re.search(r"http://127\.0\.0\.1:(\d+)/", f.read())
        if m:
            return int(m.group(1))
        if proc.poll() is not None:
            break
        time.sleep(0.01)
    raise AssertionError("corvane-httpd named no port: " +
                         open(log_path).read())


def wait_listening(port, proc, what):
    for _ in range(2000):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            if proc.poll() is not None:
                raise AssertionError("%s exited with %d" %
                                     (what, proc.returncode))
            time.sleep(0.01)
    raise AssertionError("%s did not listen" % what)


def start_host(binary_dir, work, tag, args):
    """Starts corvane-httpd on a free port with `args`; returns its process,
    its log's path and its port."""
    log_path = os.path.join(work, "httpd-%s.log" % tag)
    log = open(log_path, "w")
    proc = subprocess.Popen(
        [os.path.join(binary_dir, "corvane-httpd"), "--port", "0"] + args,
        stderr=log)
    return {"proc": proc, "log": log_path,
            "port": wait_for_port(log_path, proc)}


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
{upstream}
  }}
  server {{
    listen 127.0.0.1:{port};
    location / {{
      proxy_pass http://corvane;
{location}
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_set_header Host $host;
    }}
  }}
}}
"""


def start_nginx(nginx, work, upstream, location=""):
    """Starts nginx on a free port in front of the upstream lines
    `upstream` (with `location` lines added to its location); returns its
    process and port. `work` must hold a directory tmp/."""
    port = free_port()
    conf = os.path.join(work, "nginx.conf")
    with open(conf, "w") as f:
        f.write(NGINX_CONF.format(work=work, port=port, upstream=upstream,
                                  location=location))
    proc = subprocess.Popen(
        [nginx, "-c", conf, "-p", work, "-e",
         os.path.join(work, "nginx-error.log")],
        stdout=sys.stderr, stderr=sys.stderr)
    wait_listening(port, proc, "nginx")
    return proc, port


class Visitor:
    """A visitor with a cookie jar of one session cookie, which must never
    change once given."""

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
                    raise AssertionError("%s got a new session mid-way"
                                         % self.name)
                self.cookie = m.group(1)
        conn.close()
        assert r.status == 200, (self.name, r.status, data)
        return data.decode("utf-8")

    def say(self, text):
        body = json.dumps({"input": text}).encode("utf-8")
        return json.loads(self.request(
            "POST", "/api/reply", body,
            {"Content-Type": "application/json"}))["reply"]

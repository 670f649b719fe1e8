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
import os
import shutil
import signal
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from scale_out_common import (find, missing, start_host,  # noqa: E402
                              start_nginx, Visitor)

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

# Sessions stick to a host by their cookie.
UPSTREAM = """    hash $cookie_corvane_session consistent;
    server 127.0.0.1:{port_a};
    server 127.0.0.1:{port_b};
    keepalive 8;"""


def main():
    binary_dir, source_dir = sys.argv[1], sys.argv[2]
    nginx = find("nginx", source_dir)
    if nginx is None:
        return missing("nginx")
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
            sessions = os.path.join(work, "sessions-" + tag)
            host = start_host(binary_dir, work, tag,
                              ["--root", root, "--sessions",
                               "--session-dir", sessions])
            procs.append(host["proc"])
            host["sessions"] = sessions
            hosts.append(host)

        nginx_proc, port = start_nginx(
            nginx, work, UPSTREAM.format(port_a=hosts[0]["port"],
                                         port_b=hosts[1]["port"]))
        procs.append(nginx_proc)

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

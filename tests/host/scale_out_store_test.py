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
import os
import shutil
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from scale_out_common import (find, free_port, missing,  # noqa: E402
                              start_host, start_nginx, wait_listening,
                              Visitor)

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


# Round robin; a host that refuses connections is skipped for the request
# (a POST is retried on the other host only when the first one could not
# be reached, which is safe: it never ran the turn).
UPSTREAM = """    server 127.0.0.1:{port_a} max_fails=0;
    server 127.0.0.1:{port_b} max_fails=0;"""
LOCATION = """      proxy_next_upstream error;
      proxy_connect_timeout 2s;"""


def expected(name, turn):
    before = ("turn %d" % (turn - 1)) if turn > 1 else "my name is " + name
    return "%s n=%d said turn %d, before that %s." % (name, turn, turn, before)


def main():
    binary_dir, source_dir = sys.argv[1], sys.argv[2]
    nginx = find("nginx", source_dir)
    redis = find("redis-server", source_dir)
    if nginx is None or redis is None:
        return missing("nginx or redis-server")
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
            host = start_host(binary_dir, work, tag,
                              ["--root", root, "--sessions", "--store", url,
                               "--max-conns-per-address", "0"])
            procs.append(host["proc"])
            hosts.append(host)

        nginx_proc, port = start_nginx(
            nginx, work,
            UPSTREAM.format(port_a=hosts[0]["port"], port_b=hosts[1]["port"]),
            LOCATION)
        procs.append(nginx_proc)

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

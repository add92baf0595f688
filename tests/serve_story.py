#!/usr/bin/env python3
"""vrx330ctl serve on the simulator, driven as a lab drives it: PyVISA over TCP, and
vrx330ctl's own commands through the local endpoint while serve holds the link.

serve_story.py VRX330CTL, or serve_story.py --wine WINE-RUN VRX330CTL.EXE for the Windows
build (a named pipe instead of a socket, no --root, and Wine cannot send it Ctrl+C)."""
import os
import re
import resource
import signal
import socket
import subprocess
import sys
import tempfile
import time

import pyvisa

WINDOWS = sys.argv[1] == "--wine"
VRX330CTL = sys.argv[2:] if WINDOWS else sys.argv[1:2]


def ctl(*args, env):
    return subprocess.run([*VRX330CTL, *args], env=env, capture_output=True, text=True, timeout=60)


def check(condition, what):
    if not condition:
        sys.exit("FAILED: " + what)


with tempfile.TemporaryDirectory() as runtime, tempfile.TemporaryDirectory() as root:
    os.chmod(runtime, 0o700)
    env = dict(os.environ, XDG_RUNTIME_DIR=runtime)
    # A root without serial ports: only served controllers are listed.
    no_ports = [] if WINDOWS else ["--root", root]
    serve = subprocess.Popen([*VRX330CTL, "--simulate", "serve", "--listen", "127.0.0.1:0"], env=env,
                             stdout=subprocess.PIPE, text=True)
    facts = {}
    for line in serve.stdout:
        key, _, value = line.strip().partition("=")
        facts[key] = value
        if key == "tcp":
            break
    check(facts.get("serving") == "VRX-330 Simulator", "serve said what it serves: %r" % facts)
    endpoint = facts["endpoint"]
    port = re.fullmatch(r"127\.0\.0\.1:(\d+)", facts["tcp"]).group(1)

    instrument = pyvisa.ResourceManager("@py").open_resource(
        "TCPIP::127.0.0.1::%s::SOCKET" % port, read_termination="\n", write_termination="\n", timeout=20000)
    check(instrument.query("*IDN?").startswith("Kavro,VRX-330,VRX-330 Simulator,"), "*IDN?")
    instrument.write("SIZE 3.5")
    check(instrument.query("*OPC?;SIZE?") == "1;3.50", "PyVISA set 3.5 mm and read it back")

    # vrx330ctl goes through serve, which holds the link; same output and exit codes.
    listed = ctl(*no_ports, "list", env=env)
    check(listed.returncode == 0 and listed.stdout == "VRX-330 Simulator\t-\t%s\n" % endpoint,
          "list shows the served simulator: %r" % listed.stdout)
    status = ctl(*no_ports, "status", env=env)
    check(status.returncode == 0 and "size_mm=3.50" in status.stdout, "status: %r" % status.stdout)
    moved = ctl(*no_ports, "-d", "VRX-330 Simulator", "set", "5", "--wait", env=env)
    check(moved.returncode == 0 and "size_mm=5.00" in moved.stdout, "set --wait: %r" % (moved.stdout + moved.stderr))
    check(instrument.query("SIZE?;SYST:ERR?") == '5.00;0,"No error"', "PyVISA sees the CLI's move")
    wrapped = ctl("--simulate", "serve", "--listen", "127.0.0.1:70000", env=env)
    check(wrapped.returncode == 2, "a port past 65535 is refused, not cut to 16 bits")
    direct = ctl(*no_ports, "--no-share", "status", env=env)
    check(direct.returncode == 3, "--no-share does not go through serve")

    # Every connection in use (PyVISA's and 31 more): vrx330ctl says why it finds
    # nothing, and gets through once one is free.
    crowd = [socket.create_connection(("127.0.0.1", int(port)), timeout=10) for _ in range(31)]
    for client in crowd:
        client.sendall(b"LINK?\n")
        check(client.recv(100) == b"CONNECTED\n", "31 more clients are served")
    full = ctl(*no_ports, "status", env=env)
    check(full.returncode == 3 and "took no connection (all 32 of its connections may be in use)" in full.stderr,
          "status with every connection in use: %r" % full.stderr)
    crowd.pop().close()
    check(ctl(*no_ports, "status", env=env).returncode == 0, "status once a connection is free")
    for client in crowd:
        client.close()

    # SIGTERM ends serve cleanly and takes its endpoint with it.
    serve.send_signal(signal.SIGTERM)
    ended = serve.wait(timeout=10)
    if not WINDOWS:
        check(ended == 0, "serve exits 0 on SIGTERM")
        check(os.listdir(os.path.join(runtime, "irisdesk")) == [], "the endpoint is removed")
    gone = ctl(*no_ports, "status", env=env)
    check(gone.returncode == 3, "nothing served after serve ended")
    instrument.close()

    # Out of descriptors, serve refuses the connections it cannot take (none is left
    # hanging) and its thread does not spin on them.
    if not WINDOWS:
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        serve = subprocess.Popen([*VRX330CTL, "--simulate", "serve", "--listen", "127.0.0.1:0"], env=env,
                                 stdout=subprocess.PIPE, text=True,
                                 preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (24, hard)))
        facts = dict(serve.stdout.readline().strip().partition("=")[::2] for _ in range(3))
        port = int(facts["tcp"].rsplit(":", 1)[1])
        outcomes = {"served": 0, "refused": 0, "hanging": 0}
        clients = []
        for _ in range(30):
            client = socket.create_connection(("127.0.0.1", port), timeout=5)
            clients.append(client)
            try:
                client.sendall(b"*IDN?\n")
                outcomes["served" if client.recv(100) else "refused"] += 1
            except (ConnectionResetError, BrokenPipeError):
                outcomes["refused"] += 1
            except socket.timeout:
                outcomes["hanging"] += 1
        check(outcomes["hanging"] == 0 and outcomes["served"] > 0 and outcomes["refused"] > 0,
              "out of descriptors: %r" % outcomes)
        stat = "/proc/%d/stat" % serve.pid
        ticks = lambda: sum(int(field) for field in open(stat).read().rsplit(")", 1)[1].split()[11:13])
        before = ticks()
        time.sleep(1)
        check(ticks() - before < 30, "serve idles with its clients held out of descriptors")
        for client in clients:
            client.close()
        serve.send_signal(signal.SIGTERM)
        ended = serve.wait(timeout=10)
        # The sanitizers' own checks need descriptors too (a vptr check opens a pipe):
        # under them only a prompt end is asked for.
        check(ended == 0 or "UBSAN_OPTIONS" in os.environ, "serve out of descriptors exits 0 on SIGTERM")
print("serve story: PyVISA and vrx330ctl shared one simulated iris")

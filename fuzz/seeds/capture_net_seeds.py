#!/usr/bin/env python3
"""Seeds for the rpc_, tcp_ and bridge_ fuzz targets, taken from the real programs.

  unshare -n python3 fuzz/seeds/capture_net_seeds.py [BUILD_DIR]   (default build/)
  python3 fuzz/seeds/capture_net_seeds.py --offline [BUILD_DIR]  (rpc_ and config_ seeds only,
                                                                  no service needed)

In a private network namespace (the service's ports are fixed) it runs OrdaloService against
ordalo-virtual-frame playing a scenario, records what the service writes on its TCP route
(port 3000) and what ordalo-rpc sends for each of its commands, and writes the seed files:
fuzz/corpus/bridge_session (the TCP stream), fuzz/corpus/tcp_text_receive (the same packets as
a peer that frames with "[/TCP]" would send them), fuzz/corpus/rpc_transport (ordalo-rpc's
messages, alone, pipelined and cut). Every seed starts with the two layout bytes of
fuzz/targets/tcp_stream_support.h.
"""
import os, signal, socket, subprocess, sys, tempfile, threading, time

top = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
args = [a for a in sys.argv[1:] if a != "--offline"]
bindir = os.path.join(args[0] if args else os.path.join(top, "build"), "bin")
corpus = os.path.join(top, "fuzz", "corpus")


def write(target, name, layout, data):
    os.makedirs(os.path.join(corpus, target), exist_ok=True)
    with open(os.path.join(corpus, target, name), "wb") as f:
        f.write(bytes(layout) + data)


def capture_rpc(args):
    """The bytes ordalo-rpc sends for one command, to a listener standing in for the service."""
    srv = socket.socket()
    srv.bind(("127.0.0.1", 0))
    srv.listen(1)
    port = srv.getsockname()[1]
    proc = subprocess.Popen([os.path.join(bindir, "ordalo-rpc"), "--port", str(port)] + args,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    conn, _ = srv.accept()
    conn.settimeout(2)
    got = b""
    try:
        while len(got) < 20 or not got:
            chunk = conn.recv(4096)
            if not chunk:
                break
            got += chunk
    except socket.timeout:
        pass
    conn.close()
    srv.close()
    proc.wait()
    return got


def capture_tcp(seconds):
    """The service's TCP route while a virtual frame plays a scenario."""
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    work = tempfile.mkdtemp()
    frames = os.path.join(work, "frames")
    env = dict(os.environ, ORDALO_VIRTUAL_DIR=frames, ORDALO_LOG="stderr", ORDALO_LOG_LEVEL="2")
    frame = subprocess.Popen([os.path.join(bindir, "ordalo-virtual-frame"), "--dir", frames,
                              "--scenario", "two-finger-scroll", "--loop", "--rate", "200"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    service = subprocess.Popen([os.path.join(bindir, "OrdaloService")], cwd=work, env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    stream = b""
    try:
        deadline = time.time() + 10
        while True:
            try:
                s = socket.create_connection(("127.0.0.1", 3000), timeout=1)
                break
            except OSError:
                if time.time() > deadline:
                    raise
                time.sleep(0.1)
        # Wait for touches, then keep what arrives.
        end = time.time() + seconds + 3
        s.settimeout(0.5)
        while time.time() < end:
            try:
                chunk = s.recv(65536)
            except socket.timeout:
                continue
            if not chunk:
                break
            stream += chunk
        s.close()
    finally:
        service.send_signal(signal.SIGTERM)
        service.wait(timeout=10)
        frame.send_signal(signal.SIGTERM)
        frame.wait(timeout=10)
    with open(os.path.join(work, "Data", "System.xml"), "rb") as f:
        system_xml = f.read()
    return stream, system_xml


CONFIG_OPS = (b"I0 INFO:NETWORK:UDPPORT_OUT\nG0 INFO:RPC:LISTEN_ADDRESS\nS0 INFO:RPC:LISTEN_ADDRESS=127.0.0.1\n"
              b"N0 INFO:NETWORK:UDPPORT_OUT=3333\nF0 INFO:TUIO:RATE=100.5\nP0 INFO\nA0 TUIO:PROFILE=2Dcur\n"
              b"S1 TUIO:PROFILE=2Dobj\nM0 TUIO\nO0\nX0 INFO:TUIO:PROFILE\nR1 INFO:TUIO\nC0 INFO:RPC\n")
CONFIG_FILES = {
    "network": b"<INFO><NETWORK><UDPPORT_OUT>3333</UDPPORT_OUT><TCPPORT>3000</TCPPORT></NETWORK></INFO>",
    "rpc_address": b"<INFO>\n    <RPC>\n        <LISTEN_ADDRESS>0.0.0.0</LISTEN_ADDRESS>\n    </RPC>\n</INFO>\n",
    "siblings": b"<INFO><TUIO><PROFILE>2Dcur</PROFILE><PROFILE>2Dobj</PROFILE></TUIO><NAME>Fr\xc3\xa9d &amp; co</NAME></INFO>",
    "declaration": b'<?xml version="1.0" encoding="UTF-8" ?>\n<!-- frame settings -->\n<INFO><A>0x1F</A><B>010</B><C>-2.5</C></INFO>\n',
    "unparseable": b"<INFO><NETWORK>3333</INFO>",
}


def config_seeds(system_xml):
    """Files as the service and people write them, each followed by the operations."""
    os.makedirs(os.path.join(corpus, "config_file"), exist_ok=True)
    files = dict(CONFIG_FILES, service_shutdown=system_xml)
    for name, text in files.items():
        with open(os.path.join(corpus, "config_file", name), "wb") as f:
            f.write(text + b"\0" + CONFIG_OPS)


def main():
    if "--offline" in sys.argv[1:]:
        rpc_seeds()
        config_seeds(b"")
        return
    stream, system_xml = capture_tcp(2)
    packets = [p for p in stream.split(b"\0")[:-1] if p]
    touching = [p for p in packets if b"VALUE=\"set\"" in p]
    idle = [p for p in packets if b"VALUE=\"set\"" not in p]
    pick = (idle[:2] + touching[:3] + touching[-3:])[:8]
    # bridge: whole packets with their NULs, in various arrivals.
    write("bridge_session", "one_packet", [0x40, 0], pick[0] + b"\0")
    write("bridge_session", "stream_small_pieces", [0x05, 0], b"".join(p + b"\0" for p in pick))
    write("bridge_session", "stream_large_pieces", [0xC7, 0], b"".join(p + b"\0" for p in pick[2:6]))
    write("bridge_session", "stream_cut_mid_packet", [0x83, 0], b"".join(p + b"\0" for p in pick[:3]) + pick[3][:100])
    # Repeated without NUL past the session's buffer: an overlong message, then real packets.
    write("bridge_session", "overlong_then_packets", [0xC1, 20], pick[-1] + b"\0" + pick[-2])
    # tcp: the same packets framed the way the text receive expects them.
    write("tcp_text_receive", "framed_packets", [0x82, 0], b"".join(p + b"[/TCP]" for p in pick[:4]))
    write("tcp_text_receive", "framed_with_nul", [0x45, 0], b"".join(p + b"\0[/TCP]\0" for p in pick[2:5]))
    write("tcp_text_receive", "terminator_split", [0x00, 0], pick[1] + b"[/T\0CP]" + pick[0] + b"[/TCP]")
    write("tcp_text_receive", "unterminated_repeated", [0xC3, 31], pick[-1])
    write("tcp_text_receive", "service_stream", [0xC0, 0], b"".join(p + b"\0" for p in pick))
    rpc_seeds()
    config_seeds(system_xml)
    print(f"{len(packets)} packets ({len(touching)} with touches), System.xml {len(system_xml)} bytes")


def rpc_seeds():
    """What ordalo-rpc sends, for the transport (whole messages) and the handler (bodies)."""
    target = "4660"  # any identity; the transport target does not look at bodies
    msgs = {
        "list": capture_rpc(["list"]),
        "list_capacity": capture_rpc(["list", "40"]),
        "multi_access": capture_rpc(["multi-access", target]),
        "config_changed": capture_rpc(["config-changed", target]),
        "send_read_config": capture_rpc(["send", target, "16", "38"]),
        "send_nvm_item": capture_rpc(["send", target, "49", "8", "02000000"]),
        "send_set_mode": capture_rpc(["send", target, "21", "1", "02"]),
        "send_other": capture_rpc(["send", target, "99", "100", "0102"]),
    }
    for name, m in msgs.items():
        assert len(m) >= 20, name
        write("rpc_transport", name, [0xC0, 0], m)
    write("rpc_transport", "pipelined", [0xC0, 0], b"".join(msgs.values()))
    write("rpc_transport", "pipelined_cut", [0x03, 0], b"".join(list(msgs.values())[:3]))
    # Messages mode of rpc_transport: (procedure, body) pairs, each sent with one write.
    def listed(items):
        out = b""
        for which, body in items:
            blocks = (len(body) + 7) // 8
            out += bytes([blocks, which]) + body.ljust(8 * blocks, b"\0")
        return out
    write("rpc_transport", "messages_ordalo_rpc", [0, 0x80], listed([(0, m[20:]) for m in msgs.values()]))
    write("rpc_transport", "messages_mixed", [0, 0x80],
          listed([(0, msgs["list"][20:]), (1, bytes(range(1, 101))), (2, b""), (3, b"abc"),
                  (1, b"\xff" + bytes(7)), (1, bytes(range(256)) * 6)]))
    # The handler target takes a bare request body: ordalo-rpc's, without the 20-byte header.
    for name, m in msgs.items():
        os.makedirs(os.path.join(corpus, "rpc_handler"), exist_ok=True)
        for flags, suffix in ((0x00, ""), (0x03, "_open"), (0x37, "_three_frames_open")):
            with open(os.path.join(corpus, "rpc_handler", name + suffix), "wb") as f:
                f.write(bytes([flags]) + m[20:])


main()

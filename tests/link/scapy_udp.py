#!/usr/bin/python3
"""Independent IPv4/UDP reference for the datagram layer tests, built on Debian's scapy.

  scapy_udp.py make         prints "<name> <hex>" lines: packets for the receive checks
  scapy_udp.py check ID...  reads hex packets from stdin, one a line, and checks each with scapy:
                            header and UDP checksums, lengths, TTL 255, protocol 17, flags 0 and
                            the expected identification; prints "ok" or what is wrong, exit 0/1
"""
import sys

from scapy.all import IP, UDP, Raw  # noqa: E402

DEVICE = "10.1.2.3"
SERVER_PORT = 8888
PAYLOAD = bytes(range(0x30, 0x3A))  # 10 bytes
AWKWARD = bytes([0xC0, 0xDB, 0x11, 0x13, 0x0A, 0x0D, 0xFF, 0x00])


def build(payload=PAYLOAD, dst="192.9.9.5", dport=SERVER_PORT, **ip):
    return bytes(IP(src=DEVICE, dst=dst, id=77, **ip) / UDP(sport=4321, dport=dport) /
                 Raw(payload))


def corrupt(packet, offset):
    b = bytearray(packet)
    b[offset] ^= 0x01
    return bytes(b)


def make():
    cases = [
        ("valid", build()),
        ("valid_awkward_bytes", build(payload=AWKWARD)),
        ("odd_payload", build(payload=b"abc")),
        ("empty_payload", build(payload=b"")),
        ("bad_ip_checksum", corrupt(build(), 10)),
        ("bad_udp_checksum", corrupt(build(), 26)),
        ("corrupted_payload", corrupt(build(), 30)),
        ("udp_checksum_zero", bytes(IP(src=DEVICE, dst="192.9.9.5") /
                                    UDP(sport=4321, dport=SERVER_PORT, chksum=0) /
                                    Raw(PAYLOAD))),
        ("tos_set", build(tos=0x10)),
        ("ip_options", bytes(IP(src=DEVICE, dst="192.9.9.5", options=b"\x01\x01\x01\x00") /
                             UDP(sport=4321, dport=SERVER_PORT) / Raw(PAYLOAD))),
        ("total_length_plus_one", build(len=39)),
        ("protocol_tcp", build(proto=6)),
        ("wrong_port", build(dport=SERVER_PORT + 1)),
        ("to_other_host", build(dst="10.9.9.9")),
        ("large_payload", build(payload=bytes(600))),
        ("truncated", build()[:-3]),
    ]
    for name, packet in cases:
        print(name, packet.hex())


def check(ids):
    failures = 0
    lines = [l.strip() for l in sys.stdin if l.strip()]
    if len(lines) != len(ids):
        print("expected %d packets, got %d" % (len(ids), len(lines)))
        return 1
    for n, (line, want_id) in enumerate(zip(lines, ids)):
        raw = bytes.fromhex(line)
        pkt = IP(raw)
        problems = []
        fresh = IP(raw)
        del fresh.chksum
        del fresh[UDP].chksum
        rebuilt = IP(bytes(fresh))
        if pkt.chksum != rebuilt.chksum:
            problems.append("ip checksum %#x, want %#x" % (pkt.chksum, rebuilt.chksum))
        if UDP not in pkt:
            problems.append("no UDP")
        elif pkt[UDP].chksum != rebuilt[UDP].chksum:
            problems.append("udp checksum %#x, want %#x" % (pkt[UDP].chksum, rebuilt[UDP].chksum))
        if pkt.len != len(raw):
            problems.append("total length %d, packet %d" % (pkt.len, len(raw)))
        if UDP in pkt and pkt[UDP].len != len(raw) - 20:
            problems.append("udp length %d" % pkt[UDP].len)
        if pkt.version != 4 or pkt.ihl != 5 or pkt.tos != 0:
            problems.append("version/ihl/tos")
        if pkt.ttl != 255:
            problems.append("ttl %d" % pkt.ttl)
        if pkt.proto != 17:
            problems.append("protocol %d" % pkt.proto)
        if int(pkt.flags) != 0 or pkt.frag != 0:
            problems.append("flags/fragment")
        if pkt.id != int(want_id):
            problems.append("identification %d, want %s" % (pkt.id, want_id))
        print("packet %d: %s" % (n, "ok" if not problems else "; ".join(problems)))
        failures += bool(problems)
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) >= 2 and sys.argv[1] == "make":
        make()
        sys.exit(0)
    if len(sys.argv) >= 2 and sys.argv[1] == "check":
        sys.exit(check(sys.argv[2:]))
    print(__doc__)
    sys.exit(2)

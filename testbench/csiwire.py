"""The device side of the wire: SLIP frames, IPv4/UDP datagrams and CSI messages.

Written for the test bench from the protocol description; it shares no code with the process
under test, so a fault in one is not mirrored in the other. Standard library only.
"""

import struct

# SLIP framing bytes.
END, ESC, ESC_END, ESC_ESC = 0xC0, 0xDB, 0xDC, 0xDD

# CSI message types.
MSG_CONNECT = 0
MSG_DISCONNECT = 1
MSG_LOGIN = 2
MSG_LOGOUT = 3
MSG_STATUS = 4
MSG_FILE = 5
MSG_FILE_STATUS = 6
MSG_REQUEST = 7
MSG_TEXT = 8
MSG_DATA = 10
MSG_DATA_LAST = 11
MSG_FILE_STATUS_QUERY = 12

TYPE_NAMES = {
    0: "MSG_CONNECT", 1: "MSG_DISCONNECT", 2: "MSG_LOGIN", 3: "MSG_LOGOUT", 4: "MSG_STATUS",
    5: "MSG_FILE", 6: "MSG_FILE_STATUS", 7: "MSG_REQUEST", 8: "MSG_TEXT", 10: "MSG_DATA",
    11: "MSG_DATA_LAST", 12: "MSG_FILE_STATUS_QUERY",
}

# Reason codes of MSG_STATUS.
RC_OK, RC_NOMSG, RC_BADAUTH, RC_NOREQUEST, RC_FILE = 0, 1, 4, 6, 8
REASON_NAMES = {0: "RC_OK", 1: "RC_NOMSG", 4: "RC_BADAUTH", 6: "RC_NOREQUEST", 8: "RC_FILE"}

SERVER_PORT = 8888
MAX_FRAME = 1006


# ---------------------------------------------------------------- SLIP

def slip_encode(packet):
    out = bytearray([END])
    for b in packet:
        if b == END:
            out += bytes([ESC, ESC_END])
        elif b == ESC:
            out += bytes([ESC, ESC_ESC])
        else:
            out.append(b)
    out.append(END)
    return bytes(out)


class SlipDecoder:
    """Collects line bytes and yields complete decoded frames."""

    def __init__(self):
        self._frame = bytearray()
        self._escaped = False

    def feed(self, data):
        frames = []
        for b in data:
            if self._escaped:
                self._escaped = False
                if b == ESC_END:
                    self._frame.append(END)
                elif b == ESC_ESC:
                    self._frame.append(ESC)
                else:
                    self._frame.append(b)
            elif b == END:
                if self._frame:
                    frames.append(bytes(self._frame))
                    self._frame = bytearray()
            elif b == ESC:
                self._escaped = True
            else:
                self._frame.append(b)
        return frames


# ---------------------------------------------------------------- IPv4 / UDP

def inet_checksum(data):
    if len(data) % 2:
        data = data + b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (~total) & 0xFFFF


def ip_bytes(dotted):
    return bytes(int(x) for x in dotted.split("."))


def ip_text(raw):
    return ".".join(str(b) for b in raw)


def build_datagram(src_ip, dst_ip, src_port, dst_port, payload, ident, break_udp_checksum=False):
    """IPv4 packet with a UDP datagram inside; addresses as 4 raw bytes."""
    udp_len = 8 + len(payload)
    udp = struct.pack("!HHHH", src_port, dst_port, udp_len, 0) + payload
    pseudo = src_ip + dst_ip + struct.pack("!BBH", 0, 17, udp_len)
    udp_sum = inet_checksum(pseudo + udp)
    if break_udp_checksum:
        udp_sum ^= 0x5A5A
    udp = udp[:6] + struct.pack("!H", udp_sum) + udp[8:]
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + udp_len, ident & 0xFFFF, 0, 64, 17, 0,
                         src_ip, dst_ip)
    header = header[:10] + struct.pack("!H", inet_checksum(header)) + header[12:]
    return header + udp


class Datagram:
    def __init__(self, src_ip, dst_ip, src_port, dst_port, payload, ident, ttl):
        self.src_ip, self.dst_ip = src_ip, dst_ip
        self.src_port, self.dst_port = src_port, dst_port
        self.payload, self.ident, self.ttl = payload, ident, ttl


def parse_datagram(packet):
    """Checks an IPv4/UDP packet as a careful receiver would; returns (Datagram, None) or
    (None, reason)."""
    if len(packet) < 28:
        return None, "short packet (%d bytes)" % len(packet)
    if packet[0] != 0x45:
        return None, "not IPv4 with a 20-byte header"
    if inet_checksum(packet[:20]) != 0:
        return None, "bad IP header checksum"
    total = struct.unpack("!H", packet[2:4])[0]
    if total != len(packet):
        return None, "IP total length %d for %d bytes" % (total, len(packet))
    if packet[9] != 17:
        return None, "not UDP"
    src_port, dst_port, udp_len, _ = struct.unpack("!HHHH", packet[20:28])
    if udp_len != len(packet) - 20:
        return None, "UDP length %d for %d bytes" % (udp_len, len(packet) - 20)
    pseudo = packet[12:16] + packet[16:20] + struct.pack("!BBH", 0, 17, udp_len)
    if inet_checksum(pseudo + packet[20:]) != 0:
        return None, "bad UDP checksum"
    ident = struct.unpack("!H", packet[4:6])[0]
    return Datagram(packet[12:16], packet[16:20], src_port, dst_port, packet[28:], ident,
                    packet[8]), None


# ---------------------------------------------------------------- CSI messages

def csi_message(msg_type, session, seq, body=b""):
    return struct.pack("<HHHHH", 10 + len(body), session, seq, msg_type, 0) + body


class Message:
    def __init__(self, raw):
        self.raw = raw
        (self.length, self.session, self.seq, self.type, self.check) = struct.unpack(
            "<HHHHH", raw[:10])
        self.body = raw[10:]

    @property
    def name(self):
        return TYPE_NAMES.get(self.type, "type %d" % self.type)

    def status(self):
        """(result, reason, text) of a MSG_STATUS."""
        result, reason = struct.unpack("<HH", self.body[:4])
        text = self.body[4:].split(b"\0")[0].decode("latin-1") if len(self.body) > 4 else ""
        return result, reason, text

    def describe(self):
        head = "%s len=%d session=%d seq=%d" % (self.name, self.length, self.session, self.seq)
        if self.type == MSG_STATUS and len(self.body) >= 4:
            result, reason, text = self.status()
            head += " result=%s reason=%s" % ("positive" if result == 0 else "negative(0x%04X)"
                                              % result, REASON_NAMES.get(reason, reason))
            if text:
                head += ' text="%s"' % text
        elif self.type == MSG_CONNECT and len(self.body) >= 6:
            head += " identifier=%d station=%d level=%d" % struct.unpack("<HHH", self.body[:6])
        elif self.type == MSG_FILE_STATUS and len(self.body) >= 4:
            verdict, tid = struct.unpack("<HH", self.body[:4])
            head += " verdict=%d(%s) transfer=%d" % (
                verdict, {1: "accepted", 2: "not accepted"}.get(verdict, "?"), tid)
        return head


def connect_body(identifier, station_type, level):
    return struct.pack("<HHH", identifier, station_type, level)


def file_body(file_type, transfer_id, size):
    # 26 bytes: type at 10, transfer id at 12, size at 16 (offsets from the message start).
    return struct.pack("<BBHHI", file_type, 0, transfer_id, 0, size) + bytes(16)

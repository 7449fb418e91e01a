#!/usr/bin/env python3
"""Checks of the test bench's own wire encoding and OBJ files: a fault here would make every
end-to-end case lie, so the encodings are held against the protocol's worked examples."""

import os
import struct
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "testbench"))
import csiwire as w  # noqa: E402
import objfile  # noqa: E402


class Slip(unittest.TestCase):
    def test_frame_bytes_are_escaped(self):
        self.assertEqual(w.slip_encode(bytes([0x01, 0xC0, 0xDB])).hex(), "c001dbdcdbddc0")

    def test_leading_ends_are_skipped_and_frames_split_across_reads_join(self):
        d = w.SlipDecoder()
        self.assertEqual(d.feed(bytes.fromhex("c0c041")), [])
        self.assertEqual(d.feed(bytes.fromhex("42c0")), [b"AB"])

    def test_round_trip_of_every_byte_value(self):
        data = bytes(range(256))
        self.assertEqual(w.SlipDecoder().feed(w.slip_encode(data)), [data])


class Datagrams(unittest.TestCase):
    def build(self, payload=b"0123456789", **kw):
        return w.build_datagram(w.ip_bytes("192.9.9.4"), w.ip_bytes("10.1.2.3"), 8888, 8888,
                                payload, 2, **kw)

    def test_header_fields_of_a_ten_byte_payload(self):
        p = self.build()
        self.assertEqual(len(p), 38)
        self.assertEqual(struct.unpack("!H", p[2:4])[0], 38)
        self.assertEqual(struct.unpack("!H", p[24:26])[0], 18)
        self.assertEqual(p[9], 17)
        dgram, why = w.parse_datagram(p)
        self.assertIsNone(why)
        self.assertEqual(dgram.payload, b"0123456789")
        self.assertEqual(w.ip_text(dgram.dst_ip), "10.1.2.3")

    def test_odd_payload_checksum_is_padded(self):
        self.assertIsNone(w.parse_datagram(self.build(b"abc"))[1])

    def test_damage_is_detected(self):
        p = bytearray(self.build())
        p[30] ^= 1
        self.assertEqual(w.parse_datagram(bytes(p))[1], "bad UDP checksum")
        self.assertEqual(w.parse_datagram(self.build(break_udp_checksum=True))[1],
                         "bad UDP checksum")
        self.assertIn("total length", w.parse_datagram(self.build()[:-1])[1])


class Messages(unittest.TestCase):
    def test_lengths_of_device_messages(self):
        self.assertEqual(len(w.csi_message(w.MSG_CONNECT, 0, 1, w.connect_body(3, 12, 3))), 16)
        self.assertEqual(len(w.csi_message(w.MSG_LOGIN, 0, 2, bytes(22))), 32)
        self.assertEqual(len(w.csi_message(w.MSG_FILE, 0, 3, w.file_body(0, 1, 100))), 36)
        self.assertEqual(len(w.csi_message(w.MSG_DISCONNECT, 0, 4, bytes(2))), 12)

    def test_file_announcement_layout(self):
        m = w.csi_message(w.MSG_FILE, 5821, 3, w.file_body(0, 7, 350000))
        self.assertEqual(m[10], 0)
        self.assertEqual(struct.unpack("<H", m[12:14])[0], 7)
        self.assertEqual(struct.unpack("<I", m[16:20])[0], 350000)
        self.assertEqual(struct.unpack("<H", m[2:4])[0], 5821)

    def test_status_with_text_is_read_back(self):
        raw = struct.pack("<HHHHHHH", 38, 0, 9, w.MSG_STATUS, 0, 0xFFFF, 4) + \
            b"Bad authorization code!\0"
        self.assertEqual(w.Message(raw).status(), (0xFFFF, 4, "Bad authorization code!"))


class ObjFiles(unittest.TestCase):
    def test_generated_files_are_valid_at_every_size(self):
        for size in (28, 129, 1000, 70000, 350000):
            data = objfile.generate(size, seed=size)
            self.assertEqual(len(data), size)
            self.assertIsNone(objfile.check(data), size)

    def test_every_fault_is_detected(self):
        for fault in objfile.FAULTS:
            self.assertIsNotNone(objfile.check(objfile.generate(1000, faulty=fault)), fault)


if __name__ == "__main__":
    unittest.main()

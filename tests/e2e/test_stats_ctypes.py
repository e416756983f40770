#!/usr/bin/python3
"""The statistics document read through the shared library.

usage: test_stats_ctypes.py PATH_TO_libvlsmb2s.so [unittest args]
"""
import ctypes
import json
import os
import sys
import unittest

LIB = None

MEMBERS = [
    "running", "port", "clients",
    "connections", "refused_allow", "refused_full", "negotiate", "sessions", "guest_sessions",
    "logon_failed", "trees", "tree_refused", "opens", "open_refused", "reads", "bytes_sent",
    "listings_sent", "mutating_refused", "ioctl_refused", "bad_signature", "protocol_errors",
    "timeouts", "sign_required_sessions", "srvsvc_queries", "path_refused",
]


class Stats(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.lib = ctypes.CDLL(LIB)
        cls.lib.vlsmb2s_stats_json.restype = ctypes.c_char_p
        cls.lib.vlsmb2s_last_error.restype = ctypes.c_char_p
        cls.lib.vlsmb2s_start.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p]

    def doc(self):
        text = self.lib.vlsmb2s_stats_json().decode()
        self.assertNotIn(" ", text)
        self.assertFalse(text.endswith("\n"))
        return text, json.loads(text, object_pairs_hook=list)

    def test_members_in_order_while_stopped_and_running(self):
        text, pairs = self.doc()
        self.assertEqual(MEMBERS, [k for k, _ in pairs])
        self.assertEqual(("running", False), pairs[0])
        self.assertTrue(all(v == 0 for _, v in pairs[1:]), text)

        self.assertEqual(0, self.lib.vlsmb2s_start(None, 0, None), self.lib.vlsmb2s_last_error())
        try:
            port = self.lib.vlsmb2s_port()
            _, pairs = self.doc()
            self.assertEqual(MEMBERS, [k for k, _ in pairs])
            self.assertEqual([("running", True), ("port", port)], pairs[:2])
        finally:
            self.lib.vlsmb2s_stop()
        _, pairs = self.doc()
        self.assertEqual([("running", False), ("port", 0), ("clients", 0)], pairs[:3])


if __name__ == "__main__":
    LIB = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)

#!/usr/bin/python3
"""Prints the upper-case range table of src/ntlm/upcase.cpp.

The source of truth is the C library's simple (one code unit to one code
unit) upper-case mapping of the Basic Multilingual Plane, read here once;
the server itself never calls towupper. Georgian Mkhedruli (U+10D0..10FF)
is left out: those letters gained capitals only recently and clients'
tables do not map them.
"""
import ctypes, ctypes.util, locale

libc = ctypes.CDLL(ctypes.util.find_library('c'))
locale.setlocale(locale.LC_ALL, 'C.UTF-8')
libc.towupper.restype = ctypes.c_uint32
libc.towupper.argtypes = [ctypes.c_uint32]

m = {}
for c in range(0x80, 0x10000):
    if 0xD800 <= c <= 0xDFFF or 0x10D0 <= c <= 0x10FF:
        continue
    u = libc.towupper(c)
    if u != c and u < 0x10000:
        m[c] = u

runs = []  # [first, last, stride, delta]
for c in sorted(m):
    d = m[c] - c
    if runs:
        r = runs[-1]
        if r[3] == d and r[0] == r[1] and c - r[1] in (1, 2):
            r[2] = c - r[1]; r[1] = c; continue
        if r[3] == d and r[0] != r[1] and c - r[1] == r[2]:
            r[1] = c; continue
    runs.append([c, c, 1, d])

print('// %d ranges covering %d code units' % (len(runs), len(m)))
for f, l, s, d in runs:
    print('    {0x%04x, 0x%04x, %d, %d},' % (f, l, s, d))

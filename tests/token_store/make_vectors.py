#!/usr/bin/python3
"""Prints the known-answer vectors of token_vectors.h from Python's own SHA3-256 and HMAC,
independently of the C++ code. Run: /usr/bin/python3 tests/token_store/make_vectors.py"""
import hashlib
import hmac
import struct

KEY = bytes(range(1, 33))
NAME = "alpha"


def h(key, msg):
    return hmac.new(key, msg, "sha3_256").digest()


def u64(b):
    return struct.unpack(">Q", hashlib.sha3_256(b).digest()[:8])[0]


def seed(t):
    m = struct.pack("<I", t)
    return h(NAME_MAC, m) + h(KEY, m)


def label_pad(s, p, depth):
    state = s[32:]
    for level in range(depth - 1, -1, -1):
        b = (p >> (level % 32)) & 1
        state = bytes([state[0] ^ b]) + state[1:]
        state = hashlib.sha3_256(state).digest()
    return u64(s[:16] + state[:16]), u64(s[16:32] + state[16:])


NAME_MAC = h(KEY, NAME.encode())
DATA_KEY = h(KEY, (NAME + ".data").encode())


def arr(b):
    return "{" + ", ".join("0x%02x" % x for x in b) + "}"


print("// name_mac, data_key, content_key, centroid_metadata_key of index \"alpha\", key 1..32")
print("constexpr Key32 kNameMac = %s;" % arr(NAME_MAC))
print("constexpr Key32 kDataKey = %s;" % arr(DATA_KEY))
print("constexpr Key32 kContentKey = %s;" % arr(h(KEY, (NAME + ".content").encode())))
print("constexpr Key32 kCentroidMetadataKey = %s;" % arr(h(KEY, (NAME + ".centroid_metadata").encode())))
print("constexpr uint64_t kIndexNameHash = 0x%016xULL;" % struct.unpack(">Q", NAME_MAC[:8])[0])
print("// seed of token 7")
print("constexpr std::array<uint8_t, 64> kSeed7 = %s;" % arr(seed(7)))
print("// {token, position, depth, label, pad}")
print("constexpr LabelVector kLabelVectors[] = {")
for t, p, d in [(0, 0, 32), (0, 1, 32), (0, 5, 32), (0, 1000, 32), (7, 123456789, 32), (3, 0xFFFFFFFF, 32),
                (2, 5, 3), (2, 13, 3), (1, 6, 1), (4, 77, 40)]:
    lab, pad = label_pad(seed(t), p, d)
    print("    {%d, %uu, %d, 0x%016xULL, 0x%016xULL}," % (t, p, d, lab, pad))
print("};")
print("// data label of id \"item-1\" under kDataKey")
print("constexpr uint64_t kDataLabelItem1 = 0x%016xULL;" % u64(DATA_KEY + b"item-1"))

#!/usr/bin/env bash
# Writes the committed seed inputs of the upload fuzz target to fuzz/corpus/.
# Layout of an input: image size (2 bytes, big-endian, taken modulo 5000, plus
# one), a config byte (bits 0-1 resends allowed, bit 2 report writes while
# draining, bit 3 start late, bit 4 eight timing bytes follow), an image seed,
# then one step per byte (see LLVMFuzzerTestOneInput): 0xA0 is one step of a
# well-behaved device and port, 0x7n ticks at the next deadline plus n-8 ms,
# 0x0n sends n+1 device bytes.
set -euo pipefail
cd "$(dirname "$0")"
mkdir -p corpus

good() { # n steps of a well-behaved device
    local i
    for ((i = 0; i < $1; ++i)); do printf '\xa0'; done
}

# 2500 bytes, no resends: the whole upload.
{ printf '\x09\xc3\x00\x5a'; good 30; } >corpus/seed-2500-complete
# Exactly one block, two resends, writes reported while draining.
{ printf '\x03\xff\x06\x11'; good 20; } >corpus/seed-1024-retries
# One byte.
{ printf '\x00\x00\x00\x07'; good 20; } >corpus/seed-1-complete
# 5000 bytes with NAKs (favourite 5) between the good steps, three resends.
{ printf '\x13\x87\x03\x33'; good 12; printf '\x00\x05\xa0\x00\x05'; good 20; } >corpus/seed-5000-nak
# Silence after the first command frame: each deadline in turn.
{ printf '\x01\x00\x00\x01'; printf '\x77\x78\x79\x78\x78'; } >corpus/seed-silence
# Short scripted limits, 9600 baud; data blocks reported in parts.
{ printf '\x03\xe8\x11\x02'; printf '\x05\x05\x05\x05\x05\x05\x05\x02'; good 8; printf '\x30\x02\x00\x20'; good 20; } >corpus/seed-short-timing
# A "C" before start, then a late start.
{ printf '\x00\x63\x08\x02'; printf '\x00\x03'; printf '\xe0'; good 30; } >corpus/seed-late-start
# A late driver: the deadline passes before the reply is seen.
{ printf '\x07\xd0\x01\x09'; good 10; printf '\x98\x00\x00'; good 10; } >corpus/seed-late-driver
ls -l corpus

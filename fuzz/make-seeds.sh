#!/usr/bin/env bash
# Writes the committed seed inputs of the upload fuzz target to fuzz/corpus/.
# Layout of an input (see fuzz_upload.cpp): image size - 1 (2 bytes, big-endian);
# config (bits 0-1 retries, bit 2 stop on CAN CAN, bit 3 short limits follow;
# the run against the simulated device: bit 4 answers byte by byte, bit 5 with
# retries, each answer at the last moment the reply limit allows); refusal
# (bits 0-1 NAKs per frame, bits 2-7 the first frame refused, counted from the
# header, modulo the frames from there); seven limit bytes if bit 3; then one
# action per byte, low 3 bits the action:
#   03 report the whole write      0D tick at the deadline    05 1 ms before it
#   02 the simulated device's answers so far (it hears every frame as it is
#      sent)                       0A the same, byte by byte  07 stop, 0F abort
#   00 xx one device byte (xx 02 is NAK, 00 ACK, 03 "C", 05 CAN; 08 xx yy two)
#   83 xx a part of the write      24 tick 16 ms later
set -euo pipefail
cd "$(dirname "$0")"
mkdir -p corpus
rm -f corpus/seed-*

handshake() { printf '\x03\x0d\x03\x02\x0d'; }
# Each frame after the handshake written, then answered: header, blocks, EOT, closing.
answers() {
    local i
    for ((i = 0; i < $1 + 3; ++i)); do printf '\x03%b' "${2:-\\x02}"; done
}
short='\x28\x64\x0a\x32\x96\x32\x14' # limits of 41, 101, 11, 51, 151, 51, 21 ms

# Complete uploads: one byte; 2500 bytes answered byte by byte; exactly four
# blocks with short limits and a late well-behaved device.
{ printf '\x00\x00\x00\x00'; handshake; answers 1; } >corpus/seed-1-complete
{ printf '\x09\xc3\x10\x00'; handshake; answers 3 '\x0a'; } >corpus/seed-2500-complete
{ printf '\x0f\xff\x28\x00%b' "$short"; handshake; answers 4; } >corpus/seed-4096-late
# Retries: a NAK for block 1 and its resend; the well-behaved device refuses
# every frame once.
{ printf '\x07\xff\x02\x01'; handshake; printf '\x03\x02\x03\x00\x02\x03\x02'; answers 0; } \
    >corpus/seed-2048-nak
# Three retries, short limits: NAKs after a block and after EOT, a resend on
# time-out (a tick at the deadline with no answer); the device refuses each
# frame from block 2 on twice.
{ printf '\x0b\xb7\x0b\x0a%b' "$short"; handshake; printf '\x03\x02\x03\x00\x02\x03\x02\x03\x0d\x03\x02'
  printf '\x03\x02\x03\x00\x02\x03\x02\x03\x02'; } >corpus/seed-3000-nak
# One retry, and a well-behaved device that refuses EOT twice: refused.
{ printf '\x03\x1f\x01\x0a'; handshake; answers 1; } >corpus/seed-800-refused
# Silence once the bootloader runs: the receiver's limit runs out.
{ printf '\x00\x63\x08\x00%b' "$short"; printf '\x03\x0d\x03\x0d'; } >corpus/seed-silence
# abort() while block 1 is on the line, then CAN CAN; a device that cancels.
{ printf '\x05\xdb\x05\x00'; handshake; printf '\x03\x02\x0f\x03\x03'; } >corpus/seed-1500-abort
{ printf '\x01\xf3\x04\x00'; handshake; printf '\x03\x02\x03\x08\x05\x05'; } >corpus/seed-500-cancel
# The window's exchange passes CAN CAN over.
{ printf '\x01\xf3\x00\x00'; handshake; printf '\x03\x02\x03\x08\x05\x05'; } >corpus/seed-500-can-passed-over
# abort() before the bootloader runs: nobody to tell.
{ printf '\x00\x10\x00\x00'; printf '\x03\x0f'; } >corpus/seed-abort-early
# One stray CAN in the middle of block 1's answer ends nothing, even where
# CAN CAN would.
{ printf '\x01\xf3\x04\x00'; handshake; printf '\x03\x02\x03\x00\x05\x02'; answers 1; } \
    >corpus/seed-500-one-can
# One retry, late: the device refuses EOT once, then the closing block once,
# and answers each resend at the last moment, so each resend must get the
# whole reply limit again.
printf '\x03\x1f\x21\x09' >corpus/seed-800-late-resends
# Writes reported in parts, ticks 1 ms before each deadline, then a stop.
{ printf '\x07\xcf\x01\x00'; printf '\x83\x01\x03\x05\x0d\x83\x02\x03\x02\x05\x0d'
  printf '\x03\x02\x83\x40\x24\x03\x02\x07'; } >corpus/seed-2000-stop

#!/usr/bin/env bash
# Says whether this machine runs 32-bit x86 programs, by trying one: a
# 96-byte static i386 ELF program that makes the exit system call with the
# status 42. Kernels built without IA32 emulation refuse to start it (Exec
# format error), and then the 32-bit Wine loader cannot start either.
# Exit status 0: 32-bit programs run here. 1: they do not (the reason is
# printed on standard output). VELK_NO_32BIT=1 answers "no" without trying,
# to rehearse that path on a machine where 32-bit programs do run.
set -u
if [ "${VELK_NO_32BIT:-0}" = 1 ]; then
  echo "this machine is taken to run no 32-bit programs (VELK_NO_32BIT=1)"
  exit 1
fi
tiny=$(mktemp "${TMPDIR:-/tmp}/velk-i386.XXXXXX")
trap 'rm -f "$tiny"' EXIT
# ELF header (52 bytes), one PT_LOAD program header (32 bytes) mapping the
# file at 0x08048000, then the code at 0x08048054:
#   mov eax, 1 ; mov ebx, 42 ; int 0x80
printf '%b' \
  '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
  '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
  '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' \
  '\x00\x00\x00\x00' \
  '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' \
  '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
  '\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$tiny"
chmod +x "$tiny"
out=$("$tiny" 2>&1)
rc=$?
if [ "$rc" = 42 ]; then
  exit 0
fi
echo "this machine runs no 32-bit programs: a minimal i386 program did not start (exit $rc${out:+: $out})"
exit 1

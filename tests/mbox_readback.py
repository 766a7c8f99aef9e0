#!/usr/bin/env python3
"""Reads the converted end-to-end fixture back with Python's mailbox module: one
message per converted item, with the expected subject and body.

    mbox_readback.py KISTWERK_CLI FIXTURE_WRITER WORK_DIR
"""
import mailbox
import os
import subprocess
import sys


def normalised(body: bytes) -> bytes:
    # The entry's closing lines end the body; mbox keeps part of them.
    return body.replace(b"\r\n", b"\n").rstrip(b"\n")


def main() -> int:
    cli, writer, work = sys.argv[1:4]
    os.makedirs(work, exist_ok=True)
    pfc = os.path.join(work, "Fixture.pfc")
    mbx = os.path.join(work, "Fixture.mbx")
    expected_path = os.path.join(work, "expected.txt")
    subprocess.run([writer, pfc, expected_path], check=True)
    # The fixture holds items that give no entry on purpose: 3 says they were skipped.
    converted = subprocess.run([cli, "-q", "-o", mbx, pfc])
    if converted.returncode != 3:
        print(f"kistwerk-cli ended with {converted.returncode}, not 3 (damaged items skipped)")
        return 1

    expected = []
    with open(expected_path, "rb") as f:
        for line in f.read().decode("ascii").splitlines():
            subject, body = line.split(" ")
            expected.append((bytes.fromhex(subject).decode("latin-1"), bytes.fromhex(body)))

    messages = list(mailbox.mbox(mbx, create=False))
    failures = []
    if len(messages) != len(expected):
        failures.append(f"{len(messages)} messages read back, {len(expected)} expected")
    for i, (message, (subject, body)) in enumerate(zip(messages, expected)):
        if message["Subject"] != subject:
            failures.append(f"message {i}: subject {message['Subject']!r}, expected {subject!r}")
        if message.get_content_charset() != "windows-1252":
            failures.append(f"message {i}: charset {message.get_content_charset()!r}")
        got = normalised(message.get_payload(decode=True))
        if got != normalised(body):
            failures.append(f"message {i}: body {got!r}, expected {normalised(body)!r}")
    for failure in failures:
        print(failure)
    print(f"mbox read-back: {len(messages)} messages, {len(failures)} problems")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Prints what each failed test of a build's last ctest run said, in a few lines each.

ctest's summary names the failed tests only, and a test of the printer application
prints the server's whole log when it fails, so the assertion that failed is lost in a
CI log that keeps only its end. This prints, last, each failed test's assertions (the
line of the failure and the few after it), and where the whole output is.

    failed_tests.py BUILD_DIR
"""
import re
import sys
from pathlib import Path

LINES_PER_FAILURE = 6
FAILURES_PER_TEST = 4
WIDTH = 300
# Where a failure's message ends: gtest's own lines, or a line of the server's log.
MESSAGE_END = re.compile(r"^(\[ |\[=|\[-|[DIWEF] \[\d{4}-)")


def outputs(log: str):
    """Each test's output in LastTest.log, by name."""
    found = {}
    pattern = re.compile(r"^\d+/\d+ Testing: (.+?)\n(.*?)^<end of output>$", re.M | re.S)
    for match in pattern.finditer(log):
        found[match.group(1).strip()] = match.group(2)
    return found


def failures(output: str):
    lines = output.splitlines()
    for i, line in enumerate(lines):
        if not line.endswith(": Failure"):
            continue
        block = [line]
        for following in lines[i + 1:i + 1 + LINES_PER_FAILURE]:
            if MESSAGE_END.match(following):
                break
            block.append(following)
        yield [text[:WIDTH] for text in block]


def main(argv):
    if len(argv) != 2:
        print("usage: failed_tests.py BUILD_DIR", file=sys.stderr)
        return 2
    temporary = Path(argv[1]) / "Testing" / "Temporary"
    failed_list = temporary / "LastTestsFailed.log"
    if not failed_list.exists():
        return 0
    log = (temporary / "LastTest.log").read_text(errors="replace")
    by_name = outputs(log)
    print(f"\nWhat the failed tests said (all of it: {temporary / 'LastTest.log'}):")
    for entry in failed_list.read_text().splitlines():
        name = entry.split(":", 1)[-1].strip()
        print(f"- {name}")
        blocks = list(failures(by_name.get(name, "")))
        if not blocks:
            print("    (no assertion printed: a crash, a timeout or a skip that failed)")
        for block in blocks[:FAILURES_PER_TEST]:
            for text in block:
                print(f"    {text}")
        if len(blocks) > FAILURES_PER_TEST:
            print(f"    and {len(blocks) - FAILURES_PER_TEST} more")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

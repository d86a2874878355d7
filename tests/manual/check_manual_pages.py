#!/usr/bin/env python3
"""Renders the manual pages as man does for a user and as lintian checks
them, and fails on any warning; checks that each page has the sections a
user looks for, and that harnvik_report's page names every option that its
--help shows.
"""
import argparse
import os
import re
import subprocess
import sys

sys.dont_write_bytecode = True  # no cache folder in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from checks import check, outcome  # noqa: E402

SECTIONS = ["NAME", "SYNOPSIS", "DESCRIPTION", "OUTPUT", "EXIT STATUS", "FILES", "EXAMPLES"]


def render(page):
    env = dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80")
    result = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", page],
                            capture_output=True, env=env, timeout=60)
    check(result.returncode == 0, f"{page}: man exits with {result.returncode}")
    warnings = result.stderr.decode("utf-8", "replace").strip()
    check(not warnings, f"{page}: man warns:\n{warnings}")
    text = subprocess.run(["man", "-l", page], capture_output=True, env=env, timeout=60,
                          text=True).stdout
    return text


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("pages", nargs="+")
    parser.add_argument("--report", required=True, help="harnvik_report, for its --help")
    parser.add_argument("--runner", default="")
    args = parser.parse_args()

    texts = {}
    for page in args.pages:
        text = render(page)
        texts[os.path.basename(page)] = text
        for section in SECTIONS:
            check(re.search(rf"^{section}$", text, re.MULTILINE) is not None,
                  f"{page}: no section {section}")
        check("@" not in text.split("\n")[0], f"{page}: a placeholder is left in its title")

    command = ([args.runner] if args.runner else []) + [args.report, "--help"]
    help_text = subprocess.run(command, capture_output=True, text=True, timeout=120).stdout
    shown = set(re.findall(r"(?:^|[\s,])(--?[a-z][a-z-]*)", help_text))
    check(len(shown) >= 6, f"too few options in --help: {help_text!r}")
    page = texts.get("harnvik_report.1", "")
    for option in sorted(shown):
        check(re.search(rf"(^|[\s,\[]){re.escape(option)}\b", page, re.MULTILINE) is not None,
              f"harnvik_report(1) does not name {option}")
    return outcome()


if __name__ == "__main__":
    sys.exit(main())

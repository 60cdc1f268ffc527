#!/usr/bin/env python3
"""Runs a scenario on a real Windows CE 5.0 kernel in qemu-system-arm's
Mainstone II board, and reads its checks.

    ce5_run.py boot --modules DIR --scenario FILE --files DIR [--files DIR...] --work DIR
    ce5_run.py verdict --log FILE --check NAME
    ce5_run.py complete --log FILE --scenario FILE
    ce5_run.py checks --scenario FILE

boot builds the scenario's image into --work, boots it, and writes the
kernel's debug output (the board's second serial port) to WORK/NAME.log. It
stops at the scenario's end line or at its time limit, whichever comes
first, and ends the log with one line saying which, and when the first
check came. It fails only when it could not run: no module set, a missing
module or file, no qemu.

verdict reads one check from such a log: its pass, its failure with the
program's words, or why there is none (the run stopped at its time limit,
or the program never reported it).

complete passes when the run reached its end line and reported no check
the scenario does not list (a list that drifted from its program).

checks lists a scenario's checks, one per line, for the build.
"""
import argparse
import os
import re
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import ce5_image  # noqa: E402
import scenario as scenarios  # noqa: E402

CHECK_LINE = re.compile(r"ce5: check (\S+): (pass|FAIL)(?:: (.*))?$")
RUN_LINE = "ce5-run:"
BOOT_ARGUMENTS = "bootargs.bin"
BOOT_ARGUMENTS_AT = 0xA00FF000
POLL_SECONDS = 0.2


def qemu_command(qemu, image, where, bootargs, log):
    # -icount: without it the board's OS timer stops after a few ticks and
    # no wait with a time-out ever ends.
    return [qemu, "-M", "mainstone", "-nographic", "-monitor", "none", "-nic", "none",
            "-icount", "shift=4,sleep=off",
            "-serial", "null", "-serial", f"file:{log}", "-serial", "null",
            "-device", f"loader,file={image},addr=0x{where['load']:08x},force-raw=on",
            "-device", f"loader,file={bootargs},addr=0x{BOOT_ARGUMENTS_AT:08x},force-raw=on",
            "-device", f"loader,addr=0x{where['physical_entry']:08x},cpu-num=0"]


def watch(process, log, end, limit):
    """Waits for END in LOG, PROCESS to end, or LIMIT seconds. Returns why it
    stopped and when the first check came (seconds, or None)."""
    start = time.monotonic()
    first_check = None
    seen = 0
    while True:
        elapsed = time.monotonic() - start
        text = read_log(log)
        if first_check is None and "ce5: check " in text[seen:]:
            first_check = elapsed
        seen = max(0, len(text) - len(end) - 64)
        if end in text:
            return f"end line seen after {elapsed:.1f} s", first_check
        if process.poll() is not None:
            return f"qemu ended by itself (status {process.returncode}) after {elapsed:.1f} s", first_check
        if elapsed >= limit:
            return f"time limit of {limit} s reached", first_check
        time.sleep(POLL_SECONDS)


def read_log(path):
    try:
        with open(path, "rb") as log:
            return log.read().decode("latin-1")
    except OSError:
        return ""


def boot(args):
    plan = scenarios.load(args.scenario)
    modules = args.modules or os.environ.get("DEVICELOCK_CE5_MODULES", "")
    if not modules:
        fail("no module set: give --modules or set DEVICELOCK_CE5_MODULES to a Windows CE 5.0 "
             "Mainstone II module set's folder")
    os.makedirs(args.work, exist_ok=True)
    image_path = os.path.join(args.work, plan.name + ".img")
    log = os.path.join(args.work, plan.name + ".log")
    rom, where = ce5_image.build(modules, plan, args.files)
    with open(image_path, "wb") as out:
        out.write(rom)
    bootargs = ce5_image.module_path(modules, BOOT_ARGUMENTS, "")
    if os.path.exists(log):
        os.remove(log)
    command = qemu_command(args.qemu, image_path, where, bootargs, log)
    try:
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE)
    except OSError as error:
        fail(f"{args.qemu} did not start: {error.strerror} (install the Debian package qemu-system-arm)")
    try:
        why, first_check = watch(process, log, plan.end, plan.time_limit)
    finally:
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
    first = f"{first_check:.1f} s" if first_check is not None else "never"
    with open(log, "a", encoding="latin-1") as out:
        out.write(f"\n{RUN_LINE} {plan.name}: stopped: {why}; first check after {first}\n")
    for line in read_log(log).splitlines():
        if CHECK_LINE.search(line) or line.startswith(RUN_LINE):
            print(line[line.find("ce5"):])
    return 0


def read_run(path):
    """The check lines of a log, and how the run stopped."""
    text = read_log(path)
    if not text:
        fail(f"{path}: no log (the scenario's boot test did not run)")
    stopped = "the run did not finish"
    results = []
    for line in text.splitlines():
        match = CHECK_LINE.search(line)
        if match:
            results.append(match)
        if line.startswith(RUN_LINE):
            stopped = line[len(RUN_LINE):].strip()
    return text, results, stopped


def verdict(args):
    text, results, stopped = read_run(args.log)
    results = [match for match in results if match.group(1) == args.check]
    if not results:
        last = [line[line.find("ce5: "):] for line in text.splitlines() if "ce5: " in line]
        after = f"; the last line was '{last[-1]}'" if last else "; the program printed nothing"
        print(f"{args.check}: no result ({stopped}{after})")
        return 1
    if len(results) > 1:
        print(f"{args.check}: reported {len(results)} times")
        return 1
    match = results[0]
    print(f"{args.check}: {match.group(2)}" + (f": {match.group(3)}" if match.group(3) else ""))
    return 0 if match.group(2) == "pass" else 1


def complete(args):
    plan = scenarios.load(args.scenario)
    _, results, stopped = read_run(args.log)
    unlisted = sorted({match.group(1) for match in results} - set(plan.checks))
    if unlisted:
        print(f"{plan.name}: reported checks its scenario does not list: {', '.join(unlisted)}")
        return 1
    print(f"{plan.name}: {stopped}")
    return 0 if "end line seen" in stopped else 1


def checks(args):
    for check in scenarios.load(args.scenario).checks:
        print(check)
    return 0


def fail(why):
    raise ce5_image.ImageError(why)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("boot", help="build the scenario's image, boot it and keep its log")
    run.add_argument("--modules", help="the module set's folder (default: $DEVICELOCK_CE5_MODULES)")
    run.add_argument("--scenario", required=True)
    run.add_argument("--files", required=True, action="append", help="a folder of our files (repeatable)")
    run.add_argument("--work", required=True, help="where the image and the log go")
    run.add_argument("--qemu", default="qemu-system-arm")
    read = commands.add_parser("verdict", help="one check's result from a log")
    read.add_argument("--log", required=True)
    read.add_argument("--check", required=True)
    done = commands.add_parser("complete", help="the run reached its end and reported only listed checks")
    done.add_argument("--log", required=True)
    done.add_argument("--scenario", required=True)
    listing = commands.add_parser("checks", help="a scenario's checks, one per line")
    listing.add_argument("--scenario", required=True)
    args = parser.parse_args()
    try:
        return {"boot": boot, "verdict": verdict, "complete": complete, "checks": checks}[args.command](args)
    except (ce5_image.ImageError, ce5_image.PeError, ce5_image.hive.RegError, scenarios.ScenarioError,
            ce5_image.pdbsymbols.SymbolError) as error:
        print(f"ce5_run: {error}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())

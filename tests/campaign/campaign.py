#!/usr/bin/env python3
"""The campaign: generated scenarios run in the simulated Outlook.

  campaign.py generate SEED               the scenario of one seed
  campaign.py run FIRST LAST [-j N]       runs seeds FIRST..LAST, N at a time
  campaign.py forms                       the world's forms the generator can make

`generate` and `run` take --forms LIST (or CAMPAIGN_FORMS): "all", or form
names, each with + or - against the default set.
  campaign.py shrink SEED|FILE [-j N]     the shortest scenario that fails the same way

`run` gives each of its N workers a Wine prefix, display and Wine session of
its own (under OUT/prefix-K); with --in-session it runs in the caller's
session and prefix instead (the test command's), each scenario in a sandbox
of its own. It prints each failing seed with its scenario file and the first
difference, and ends with one line "N passed, M failed".
"""

import argparse
import concurrent.futures
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import generate  # noqa: E402
import script    # noqa: E402

ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
SCENARIO_TIMEOUT = 900  # real seconds; a scenario that takes longer hangs


def build_dir():
    return os.path.abspath(os.environ.get("BUILD_DIR", os.path.join(ROOT, "build")))


# ----- one scenario in the current Wine session -----

def wine(*args, timeout=None, env=None):
    """Runs a Windows program; returns its output. The output goes through a
    file: Wine's own background processes may inherit a pipe and hold it
    open long after the program ended."""
    with tempfile.TemporaryFile() as out:
        proc = subprocess.Popen([os.path.join(ROOT, "scripts", "wine-run.sh"), *args], stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT, env=env, start_new_session=True)
        try:
            proc.wait(timeout=timeout)
            timed_out = False
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, 9)
            proc.wait()
            timed_out = True
        out.seek(0)
        text = out.read().decode(errors="replace")
    if timed_out:
        text += f"\n(no verdict: the scenario ran longer than {timeout} s)\n"
    return text


def register():
    for dll in ("Tallowby.dll", "simrdo.dll"):
        wine("regsvr32", "/s", os.path.join(build_dir(), "bin", dll))


def sandbox_of(name):
    """The temporary folder the host gives a scenario of that name."""
    prefix = os.environ.get("WINEPREFIX", "")
    hits = glob.glob(os.path.join(prefix, "drive_c", "users", "*", "Temp", "TallowbyScenarios", name))
    hits += glob.glob(os.path.join(prefix, "drive_c", "users", "*", "AppData", "Local", "Temp", "TallowbyScenarios", name))
    return hits[0] if hits else None


def run_scenario(path, name, keep_logs_to=None):
    """Runs one scenario file; returns its transcript."""
    # The scenarios' clock and zone (one with daylight saving), as the test
    # command sets them.
    env = dict(os.environ, TALLOWBY_CLOCK_SCALE=os.environ.get("TALLOWBY_CLOCK_SCALE", "60"),
               TZ=os.environ.get("TZ", "Europe/Berlin"))
    out = wine(os.path.join(build_dir(), "bin", "simoutlook.exe"), "--name", name, path,
               timeout=SCENARIO_TIMEOUT, env=env)
    box = sandbox_of(name)
    if box:
        if keep_logs_to and not passed(out):
            # The logs of every start: the debug log of an earlier one is
            # rotated to Tallowby_debug-1.log and on.
            for src in glob.glob(os.path.join(box, "Temp", "Tallowby_*.log")):
                shutil.copy(src, keep_logs_to + "." + os.path.basename(src).split("_", 1)[1])
        shutil.rmtree(box, ignore_errors=True)
    return out


def passed(transcript):
    return "\nscenario passed" in "\n" + transcript


def first_difference(transcript):
    """The first failed expectation with what was found, or why there is no
    verdict."""
    lines = transcript.splitlines()
    for n, line in enumerate(lines):
        if line.startswith("FAILED line") or line.startswith("ERROR line"):
            shown = [line]
            for more in lines[n + 1:]:
                if more.startswith("> ") or more.startswith("FAILED") or more.startswith("scenario"):
                    break
                shown.append(more)
            return "\n".join(shown[:30])
    if passed(transcript):
        return ""
    tail = "\n".join(lines[-8:])
    return "no verdict (the host ended without one):\n" + tail


def signature(transcript):
    """What kind of failure a transcript shows, for the shrinker."""
    diff = first_difference(transcript)
    if not diff:
        return None
    first = diff.splitlines()[0]
    m = re.match(r"FAILED line \d+: expect (\S+)(?: (\"[^\"]*\"))?", first)
    if m:
        return ("expect", m.group(1), m.group(2) or "")
    m = re.match(r"ERROR line \d+: (.*)", first)
    if m:
        return ("error", re.sub(r"\d+", "N", m.group(1)))
    if "Unhandled exception" in transcript or "page fault" in transcript:
        return ("crash",)
    return ("no-verdict",)


# ----- run -----

def worker(args):
    """Runs claimed seeds one after the other in this Wine session."""
    register()
    while True:
        seed = claim(args.out, args.seeds)
        if seed is None:
            return
        path = os.path.join(args.out, f"seed-{seed}.scn")
        transcript = run_scenario(path, f"Campaign.seed-{seed}", keep_logs_to=os.path.join(args.out, f"seed-{seed}"))
        if "cannot create Tallowby.Connect" in transcript:
            # The worker's registration did not take (a new Wine prefix under
            # load): once more, and the seed again.
            register()
            transcript = run_scenario(path, f"Campaign.seed-{seed}",
                                      keep_logs_to=os.path.join(args.out, f"seed-{seed}"))
        with open(os.path.join(args.out, f"seed-{seed}.out"), "w") as f:
            f.write(transcript)
        print(f"seed {seed} {'passed' if passed(transcript) else 'failed'}", flush=True)


_claim_lock = threading.Lock()


def claim(out, seeds):
    with _claim_lock:
        for seed in seeds:
            try:
                os.close(os.open(os.path.join(out, f"seed-{seed}.claim"), os.O_CREAT | os.O_EXCL))
                return seed
            except FileExistsError:
                continue
    return None


def run(args):
    out = os.path.abspath(args.out or os.path.join(build_dir(), "campaign"))
    os.makedirs(out, exist_ok=True)
    seeds = list(range(args.first, args.last + 1))
    for seed in seeds:
        for stale in glob.glob(os.path.join(out, f"seed-{seed}.*")):
            os.remove(stale)
        with open(os.path.join(out, f"seed-{seed}.scn"), "w") as f:
            f.write(generate.generate(seed))
    cmd = [sys.executable, os.path.abspath(__file__), "worker", "--out", out, *map(str, seeds)]
    if args.in_session:
        ns = argparse.Namespace(out=out, seeds=seeds)
        with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
            for f in [pool.submit(worker, ns) for _ in range(args.jobs)]:
                f.result()
    else:
        procs = []
        for k in range(args.jobs):
            env = dict(os.environ, WINEPREFIX=os.path.join(out, f"prefix-{k}"),
                       WINE_KEEPALIVE=os.path.join(build_dir(), "bin", "wine_keepalive.exe"))
            procs.append(subprocess.Popen(["xvfb-run", "-a", "-s", "-screen 0 1280x1024x24 -nolisten tcp",
                                           os.path.join(ROOT, "scripts", "wine-session.sh"), *cmd],
                                          env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        for p in procs:
            p.wait()
    failed = 0
    for seed in seeds:
        path = os.path.join(out, f"seed-{seed}.out")
        transcript = open(path).read() if os.path.exists(path) else "(the scenario never ran)"
        if passed(transcript):
            continue
        failed += 1
        print(f"seed {seed} FAILED: {os.path.join(out, f'seed-{seed}.scn')}")
        print("  " + first_difference(transcript).replace("\n", "\n  "))
    print(f"{len(seeds) - failed} passed, {failed} failed")
    return 1 if failed else 0


# ----- shrink -----

REMOVABLE = ("item", "items", "change", "delete", "echo", "find", "restart", "reload", "fail", "copy", "job", "folder", "store",
             "quit")


def blocks(text):
    """The scenario's lines without expectations, cut into blocks: the set-up,
    then each step with the wait that follows it."""
    lines = [l for l in text.splitlines() if not l.strip().startswith("expect")]
    out, current = [], []
    for line in lines:
        current.append(line)
        if line.strip() == "wait until idle":
            out.append(current)
            current = []
    if current:
        out.append(current)
    return out


def without(blocks_, bi, li=None):
    """The blocks without block bi, or without line li of it and the later
    lines that name the item that line makes."""
    if li is None:
        return blocks_[:bi] + blocks_[bi + 1:]
    words = blocks_[bi][li].split()
    name = words[1] if words[0] in ("item", "find", "copy") and len(words) > 1 else None
    if words[0] == "copy":
        name = words[-1]

    def keep(line):
        w = line.split()
        return not (name and len(w) > 1 and w[0] in ("change", "delete", "copy", "inspector") and name in w[1:])

    out = [list(b) for b in blocks_]
    del out[bi][li]
    for b in out[bi:]:
        b[:] = [l for l in b if keep(l)]
    if words[0] == "quit":
        # Outlook runs on: the start that ended its closing goes too.
        for b in out[bi:]:
            starts = [k for k, l in enumerate(b) if l.strip() == "start"]
            if starts:
                del b[starts[0]]
                break
    return out


def shrink(args):
    if os.path.exists(args.what):
        text = open(args.what).read()
        stem = os.path.splitext(os.path.basename(args.what))[0]
    else:
        text = generate.generate(int(args.what))
        stem = f"seed-{args.what}"
    out = os.path.abspath(args.out or os.path.join(build_dir(), "campaign"))
    os.makedirs(out, exist_ok=True)
    work = tempfile.mkdtemp(prefix="shrink-", dir=out)
    counter = [0]

    def attempt(candidate_blocks):
        try:
            annotated = script.annotate("\n".join(l for b in candidate_blocks for l in b))
        except (script.ScriptError, KeyError):
            return None, None
        counter[0] += 1
        path = os.path.join(work, f"try-{counter[0]}.scn")
        with open(path, "w") as f:
            f.write(annotated)
        return annotated, signature(run_scenario(path, f"Campaign.{stem}.try-{counter[0]}"))

    register()
    current = blocks(text)
    annotated, wanted = attempt(current)
    if wanted is None:
        print("the scenario passes: nothing to shrink")
        return 1
    print(f"failure: {wanted}")
    pool = concurrent.futures.ThreadPoolExecutor(args.jobs)
    # Whole steps first, then single lines, until no removal keeps the failure.
    for unit in ("block", "line"):
        position = 0
        while True:
            candidates = []
            for bi, block in enumerate(current):
                if unit == "block":
                    if bi > 0 and not any(l.strip() == "start" for l in block):
                        candidates.append(without(current, bi))
                    continue
                for li, line in enumerate(block):
                    words = line.split()
                    if words and words[0] in REMOVABLE:
                        candidates.append(without(current, bi, li))
            if position >= len(candidates):
                break
            batch = candidates[position:position + args.jobs]
            results = list(pool.map(attempt, batch))
            hit = next((k for k, (a, sig) in enumerate(results) if sig == wanted), None)
            if hit is None:
                position += len(batch)
                continue
            current, annotated = batch[hit], results[hit][0]
            position += hit  # the next candidate has moved into this place
            print(f"  {sum(len(b) for b in current)} lines", flush=True)
    target = os.path.join(out, f"{stem}.shrunk.scn")
    with open(target, "w") as f:
        f.write(annotated)
    shutil.rmtree(work, ignore_errors=True)
    print(f"shrunk scenario: {target}")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    g = sub.add_parser("generate")
    g.add_argument("seed", type=int)
    g.add_argument("--forms")
    sub.add_parser("forms")
    r = sub.add_parser("run")
    r.add_argument("--forms")
    r.add_argument("first", type=int)
    r.add_argument("last", type=int)
    r.add_argument("-j", "--jobs", type=int, default=max(1, (os.cpu_count() or 2) // 2))
    r.add_argument("--in-session", action="store_true")
    r.add_argument("--out")
    s = sub.add_parser("shrink")
    s.add_argument("what")
    s.add_argument("-j", "--jobs", type=int, default=4)
    s.add_argument("--out")
    w = sub.add_parser("worker")
    w.add_argument("--out", required=True)
    w.add_argument("seeds", type=int, nargs="+")
    args = parser.parse_args()
    if getattr(args, "forms", None):
        generate.forms_from(args.forms)  # a name that is no form stops here
        os.environ["CAMPAIGN_FORMS"] = args.forms
    if args.command == "forms":
        for name, what in generate.FORMS.items():
            print(f"{name:14} {'on ' if name in generate.DEFAULT_FORMS else 'off'}  {what}")
        return 0
    if args.command == "generate":
        sys.stdout.write(generate.generate(args.seed))
        return 0
    if args.command == "worker":
        worker(args)
        return 0
    if args.command == "run":
        return run(args)
    return shrink(args)


if __name__ == "__main__":
    sys.exit(main())

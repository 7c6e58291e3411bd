#!/usr/bin/env python3
"""mutants.py - the planted-fault run behind scripts/mutants.sh.

Plants one single-operator fault at a time into a copy of the library's own
sources, rebuilds the copy's test build (only the changed object and what
links it), runs the suite until its first failure and reports each fault as
killed (with the test that noticed), survived (with its diff) or not built.

    mutants.py SRC BUILD N SEED EQUIVALENTS
    mutants.py --sync ROOT SRC

SRC is the copy (its files are changed and put back), BUILD its configured
build folder, EQUIVALENTS the file of faults known to change nothing;
--sync makes SRC a copy of the tree at ROOT.
"""
import difflib
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import time

DIRS = ["lib_common", "scheduler", "threadpool", "queues", "platform", "conhelper"]

# (pattern on the code with comments and literals blanked, replacement).
# clang-format puts spaces around binary operators and none inside template
# brackets or around ->, so " < " is always a comparison.
OPERATORS = [
    (r" < ", " <= "), (r" <= ", " < "), (r" > ", " >= "), (r" >= ", " > "),
    (r" == ", " != "), (r" != ", " == "),
    (r" && ", " || "), (r" \|\| ", " && "),
    (r" \+ 1\b", " - 1"), (r" - 1\b", " + 1"),
    (r"\breturn 0;", "return -1;"), (r"\breturn -1;", "return 0;"),
    (r"\btrue\b", "false"), (r"\bfalse\b", "true"),
]

# Lines whose faults no test build can see: debug checks (compiled out
# with NDEBUG, as in the host build) and preprocessor lines.
SKIP_LINE = re.compile(r"^\s*(#|assert\s*\(|static_assert\s*\()")


def blank_comments_and_literals(text):
    """The text with every comment, string and character literal replaced
    by spaces (new-lines kept), so that positions stay those of the text."""
    out = list(text)
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            j += 1
        else:
            i += 1
            continue
        for k in range(i, min(j, n)):
            if out[k] != "\n":
                out[k] = " "
        i = j
    return "".join(out)


def sites(src):
    """Every place a fault can be planted: (path, line index, column,
    length of the match, replacement), in a fixed order."""
    found = []
    for d in DIRS:
        folder = os.path.join(src, d)
        for name in sorted(os.listdir(folder)):
            if not name.endswith((".cpp", ".h")):
                continue
            path = os.path.join(d, name)
            with open(os.path.join(src, path)) as f:
                text = f.read()
            code_lines = blank_comments_and_literals(text).split("\n")
            for li, code in enumerate(code_lines):
                if SKIP_LINE.match(code) or not code.strip():
                    continue
                for pattern, repl in OPERATORS:
                    for m in re.finditer(pattern, code):
                        found.append((path, li, m.start(), m.end() - m.start(), repl))
    return found


def mutated_line(line, site):
    _, _, col, length, repl = site
    return line[:col] + repl + line[col + length:]


def key_of(site, line):
    """How the equivalents file names a fault: stable while lines move."""
    return "%s: %s => %s" % (site[0], line.strip(), mutated_line(line, site).strip())


def pick(src, all_sites, n, seed):
    """The n sites that rank first for this seed.  Each site ranks by a hash
    of its key (and its place among sites of the same key), not by its line,
    so a change elsewhere leaves the choice of the other sites as it was."""
    ranked, seen = [], {}
    texts = {}
    for site in all_sites:
        if site[0] not in texts:
            with open(os.path.join(src, site[0])) as f:
                texts[site[0]] = f.read().split("\n")
        key = key_of(site, texts[site[0]][site[1]])
        seen[key] = seen.get(key, 0) + 1
        digest = hashlib.sha256(("%d|%s|%d" % (seed, key, seen[key])).encode()).hexdigest()
        ranked.append((digest, site))
    ranked.sort()
    return [site for _, site in ranked[:n]]


def load_equivalents(path):
    keys = set()
    if os.path.exists(path):
        with open(path) as f:
            for raw in f:
                raw = raw.rstrip("\n")
                if raw.strip() and not raw.lstrip().startswith("#"):
                    keys.add(raw.strip())
    return keys


def run(cmd, cwd, log):
    with open(log, "w") as f:
        return subprocess.call(cmd, cwd=cwd, stdout=f, stderr=subprocess.STDOUT)


FAILED = re.compile(r"^\s*\d+/\d+ Test\s+#\d+: (\S+) \.+\*+(Failed|Timeout|Exception|Not Run)|"
                    r"^\s*\d+ - (\S+) \((Failed|Timeout|Subprocess aborted|SEGFAULT|Not Run|Child aborted)\)")


def first_failure(log):
    with open(log, errors="replace") as f:
        for line in f:
            m = FAILED.match(line)
            if m:
                return m.group(1) or m.group(3)
    return "?"


def suite(build, label, exclude, log):
    """Runs the suite, the tests of the changed folder first, until the
    first failure: None when all passed, else the failing test's name."""
    base = ["ctest", "--stop-on-failure", "-j2", "--output-on-failure"]
    if exclude:
        base += ["-E", exclude]
    for part in (["-L", "^%s$" % label], ["-LE", "^%s$" % label]):
        if run(base + part, build, log) != 0:
            return first_failure(log)
    return None


def sync(root, dest):
    """Makes dest a copy of the tree at root (build output and history left
    out), writing only the files whose contents differ: the build then
    rebuilds only what changed since the last run, and never keeps an
    object made from a fault."""
    wanted = set()
    for folder, dirs, files in os.walk(root):
        rel = os.path.relpath(folder, root)
        if rel == ".":
            dirs[:] = [d for d in dirs if d not in ("build", ".git")]
        for name in files:
            path = os.path.normpath(os.path.join(rel, name))
            wanted.add(path)
            src, dst = os.path.join(root, path), os.path.join(dest, path)
            with open(src, "rb") as f:
                data = f.read()
            if os.path.exists(dst):
                with open(dst, "rb") as f:
                    if f.read() == data:
                        continue
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            with open(dst, "wb") as f:
                f.write(data)
            shutil.copymode(src, dst)
    for folder, _, files in os.walk(dest):
        for name in files:
            path = os.path.relpath(os.path.join(folder, name), dest)
            if path not in wanted:
                os.remove(os.path.join(dest, path))


def main():
    if sys.argv[1] == "--sync":
        sync(sys.argv[2], sys.argv[3])
        return 0
    # A stop (Ctrl-C, kill) still puts the planted file back.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    src, build, n, seed, equivalents_path = sys.argv[1:6]
    exclude = os.environ.get("LC_MUTANT_EXCLUDE", "")
    n, seed = int(n), int(seed)
    equivalents = load_equivalents(equivalents_path)
    all_sites = sites(src)
    chosen = pick(src, all_sites, n, seed)
    print("mutants: %d sites in the library's sources; planting %d with seed %d" % (len(all_sites), len(chosen), seed))
    logs = os.path.join(build, "mutant-logs")
    os.makedirs(logs, exist_ok=True)
    tally = {"killed": 0, "survived": 0, "equivalent": 0, "not built": 0}
    survivors = []
    start = time.time()
    for i, site in enumerate(chosen, 1):
        path = os.path.join(src, site[0])
        with open(path) as f:
            original = f.read()
        lines = original.split("\n")
        line = lines[site[1]]
        lines[site[1]] = mutated_line(line, site)
        key = key_of(site, line)
        diff = "".join(difflib.unified_diff([line + "\n"], [lines[site[1]] + "\n"],
                                            "a/" + site[0], "b/" + site[0], n=0))
        diff = diff.replace("@@ -1 +1 @@", "@@ -%d +%d @@" % (site[1] + 1, site[1] + 1))
        try:
            with open(path, "w") as f:
                f.write("\n".join(lines))
            log = os.path.join(logs, "%03d.log" % i)
            if run(["ninja", "-j2"], build, log) != 0:
                verdict, detail = "not built", ""
            else:
                failing = suite(build, site[0].split("/")[0], exclude, log)
                if failing is not None:
                    verdict, detail = "killed", " by " + failing
                elif key in equivalents:
                    verdict, detail = "equivalent", ""
                else:
                    verdict, detail = "survived", ""
                    survivors.append((key, diff))
        finally:
            with open(path, "w") as f:
                f.write(original)
        tally[verdict] += 1
        print("[%d/%d] %s%s: %s:%d" % (i, len(chosen), verdict, detail, site[0], site[1] + 1), flush=True)
        if verdict == "survived":
            sys.stdout.write(diff)
    run(["ninja", "-j2"], build, os.path.join(logs, "restore.log"))
    built = tally["killed"] + tally["survived"] + tally["equivalent"]
    print("\nsurvivors (%d):" % len(survivors))
    for key, diff in survivors:
        sys.stdout.write(diff)
    print("\nmutants: seed %d, %d planted: %d killed, %d survived, %d known equivalent, %d not built; "
          "killed %.1f%% of those built (%.1f%% of the non-equivalent); %.0f minutes"
          % (seed, len(chosen), tally["killed"], tally["survived"], tally["equivalent"], tally["not built"],
             100.0 * tally["killed"] / max(built, 1),
             100.0 * tally["killed"] / max(built - tally["equivalent"], 1), (time.time() - start) / 60))
    return 0


if __name__ == "__main__":
    sys.exit(main())

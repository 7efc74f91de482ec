#!/usr/bin/env python3
"""Helper of scripts/mutate.sh: generates single-line mutants of the library sources, writes one into the scratch
copy of the tree, lists the test programs of a build, and compares two result files. Standard library only.

A mutant changes one place of one line. Its id is a hash of the file, the original line, the mutated line and the
number of earlier identical mutants in that file, so an id survives edits elsewhere in the file."""

import argparse
import hashlib
import json
import os
import random
import re
import shutil
import subprocess
import sys

FIELDS = ["id", "file", "line", "operator", "original", "mutated", "outcome", "detail"]

# Comparisons flipped at their boundary or negated.
COMPARISON_FLIPS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
# Names that hold integer indices, counts and lengths in this code base.
INTEGER_NAME = re.compile(
    r"^(?:[ijklmnr]|ii|jj|kk|ll|nn|kv|top|first|last|idx|row|col|ld\w*|n[a-z]{1,5}_?|n[A-Z]\w*"
    r"|\w*(?:[Cc]ount|[Ll]ength|[Ss]ize|[Ii]ndex|[Tt]op|[Ss]lot|Row|Col|[Dd]im|Len))$")
TYPE_WORDS = {"int", "long", "short", "unsigned", "signed", "double", "float", "bool", "char", "auto", "const",
              "constexpr", "static", "size_t", "void", "struct", "class", "enum", "using", "typename", "template",
              "namespace", "case", "goto", "operator", "sizeof"}
STATEMENT_KEYWORDS = ("if ", "if(", "else", "for ", "for(", "while", "do ", "switch", "case ", "default",
                      "return", "break", "continue", "}", "{", "public:", "private:", "protected:", "namespace",
                      "using ", "template", "static_assert", "struct ", "class ", "enum ", "typedef")
NUMBER = re.compile(r"(?<![\w.])(\d+\.\d*|\.\d+|\d+)([eE][+-]?\d+)?([fFlLuU]*)(?![\w.])")
IDENTIFIER = re.compile(r"(?<![\w.>:])([A-Za-z_]\w*)")
LENGTH_CALL = re.compile(r"(?<![\w.>:])[A-Za-z_]\w*(?:\.[A-Za-z_]\w*)*\.(?:length|total|size)\(\)")
SPACED_OPERATOR = re.compile(r"(?<=\S) (<=|>=|==|!=|<|>|&&|\|\||\+|-|\+=|-=) (?=\S)")
UNARY_MINUS = re.compile(r"(?:(?<=[(,=\[])|(?<=return)|(?<=[(,=] )|(?<=return ))-(?=[A-Za-z_(\d])")


def mask_code(lines):
    """Each line with comments and the insides of string and character literals blanked out, positions kept."""
    masked, in_block = [], False
    for line in lines:
        out, i = [], 0
        while i < len(line):
            c = line[i]
            if in_block:
                if line.startswith("*/", i):
                    in_block = False
                    out.append("  ")
                    i += 2
                else:
                    out.append(" ")
                    i += 1
            elif line.startswith("//", i):
                out.append(" " * (len(line) - i))
                break
            elif line.startswith("/*", i):
                in_block = True
                out.append("  ")
                i += 2
            elif c in "\"'":
                j = i + 1
                while j < len(line) and line[j] != c:
                    j += 2 if line[j] == "\\" else 1
                out.append(c + "_" * (min(j, len(line)) - i - 1) + (c if j < len(line) else ""))
                i = j + 1
            else:
                out.append(c)
                i += 1
        masked.append("".join(out)[: len(line)])
    return masked


def integer_operand(code, start, end, word):
    """True where the identifier at code[start:end] reads as an integer operand (not declared, assigned, called)."""
    if not INTEGER_NAME.match(word) or word in TYPE_WORDS:
        return False
    after = code[end:].lstrip()
    if after.startswith(("(", ".", "[", "::", "++", "--", "->", "<")) or re.match(r"=[^=]", after) \
            or re.match(r"[-+*/]=", after):
        return False
    before = code[:start].rstrip()
    if before.endswith(("++", "--", "&", "*", ".", "->", "::")) and not before.endswith(("&&", " *")):
        return False
    if before.endswith(">") and not before.endswith((" >", " >>")):
        return False  # a declaration of a template type (Vec<double> r)
    prev = re.search(r"(\w+)$", before)
    if prev and prev.group(1) != "return":
        return False  # a declaration (int n) or a type in front
    return bool(before) and not before.endswith(("{", ";"))


def mutants_of_line(code, line):
    """(operator, mutated line) pairs for one line; code is the masked line."""
    found = []

    def put(op, start, end, text):
        found.append((start, op, line[:start] + text + line[end:]))

    def put_off_by_one(start, end):
        put("off-by-one", start, end, "(" + line[start:end] + " + 1)")
        put("off-by-one", start, end, "(" + line[start:end] + " - 1)")

    for m in SPACED_OPERATOR.finditer(code):
        start, end, op = m.start(1), m.end(1), m.group(1)
        if op in COMPARISON_FLIPS:
            put("comparison", start, end, COMPARISON_FLIPS[op])
        elif op in ("&&", "||"):
            put("logical", start, end, "||" if op == "&&" else "&&")
        elif op in ("+", "-", "+=", "-="):
            put("sign", start, end, {"+": "-", "-": "+", "+=": "-=", "-=": "+="}[op])
    for m in UNARY_MINUS.finditer(code):
        put("sign", m.start(), m.end(), "")
    for m in NUMBER.finditer(code):
        mantissa, exponent, suffix = m.group(1), m.group(2) or "", m.group(3)
        start, end = m.start(), m.end()
        if "." in mantissa or exponent:
            value = float(mantissa + exponent)
            changed = repr(value * 2.0 if value != 0.0 else 1.0)
            if suffix.lower() == "f" and "e" not in changed and "." not in changed:
                changed += ".0"
            put("constant", start, end, changed + suffix)
        else:
            value = int(mantissa)
            put("constant", start, end, str(value + 1) + suffix)
            if value > 0:
                put("constant", start, end, str(value - 1) + suffix)
    for m in IDENTIFIER.finditer(code):
        if integer_operand(code, m.start(), m.end(), m.group(1)):
            put_off_by_one(m.start(), m.end())
    for m in LENGTH_CALL.finditer(code):
        put_off_by_one(m.start(), m.end())
    found.sort(key=lambda item: item[0])
    return [(op, text) for _, op, text in found if text != line]


def removable_statement(code, previous_code):
    """True for a whole single-line statement that can be dropped (an assignment, a call, an increment)."""
    body = code.strip()
    if not body.endswith(";") or body.startswith(STATEMENT_KEYWORDS) or body.count("(") != body.count(")"):
        return False
    if not previous_code.rstrip().endswith((";", "{", "}", ":")) and previous_code.strip():
        return False
    first = re.match(r"[A-Za-z_][\w:]*(<[^;=]*>)?[\s*&]+[A-Za-z_]\w*\s*[=({;\[,]", body)
    if first and first.group(0).split()[0] != "return":
        return False  # a declaration
    if body.startswith(("const ", "constexpr ", "static ", "auto ", "int ", "double ", "bool ", "long ")):
        return False
    return True


def source_files(root, pattern, headers):
    names = []
    for folder, _, files in os.walk(os.path.join(root, "src")):
        for name in files:
            if name.endswith(".cpp") or headers and name.endswith(".h"):
                rel = os.path.relpath(os.path.join(folder, name), root)
                if re.search(pattern or "", rel):
                    names.append(rel)
    return sorted(names)


def mutant_id(rel, original, mutated, nth):
    return hashlib.sha1(f"{rel}\0{original}\0{mutated}\0{nth}".encode()).hexdigest()[:10]


def all_mutants(root, pattern, headers):
    result = []
    for rel in source_files(root, pattern, headers):
        with open(os.path.join(root, rel), encoding="utf-8") as f:
            lines = f.read().split("\n")
        codes = mask_code(lines)
        seen = {}
        previous = ""
        for number, (line, code) in enumerate(zip(lines, codes), start=1):
            if not code.strip() or code.lstrip().startswith("#") or "static_assert" in code:
                previous = code if code.strip() else previous
                continue
            candidates = mutants_of_line(code, line)
            if removable_statement(code, previous):
                indent = line[: len(line) - len(line.lstrip())]
                candidates.append(("statement", indent + ";"))
            previous = code
            for op, mutated in candidates:
                key = (line, mutated)
                seen[key] = seen.get(key, 0) + 1
                result.append({"id": mutant_id(rel, line, mutated, seen[key]), "file": rel, "line": number,
                               "operator": op, "original": line, "mutated": mutated})
    return result


def select(mutants, seed, count):
    """A deterministic sample: each operator's mutants shuffled by the seed, then taken in turn across operators so
    that a small sample still covers every kind of fault. Ordered by file and line, so a file's object is rebuilt
    once per run of mutants in it."""
    rng = random.Random(seed)
    groups = {}
    for m in mutants:
        groups.setdefault(m["operator"], []).append(m)
    queues = [groups[op] for op in sorted(groups)]
    for queue in queues:
        rng.shuffle(queue)
    chosen = []
    while any(queues) and (count <= 0 or len(chosen) < count):
        for queue in queues:
            if queue and (count <= 0 or len(chosen) < count):
                chosen.append(queue.pop())
    chosen.sort(key=lambda m: (m["file"], m["line"], m["id"]))
    return chosen


def escape(text):
    return text.replace("\\", "\\\\").replace("\t", "\\t")


def unescape(text):
    return re.sub(r"\\(.)", lambda m: "\t" if m.group(1) == "t" else m.group(1), text)


def read_results(path):
    rows = []
    with open(path, encoding="utf-8") as f:
        header = f.readline().rstrip("\n").split("\t")
        for raw in f:
            values = raw.rstrip("\n").split("\t")
            row = dict(zip(header, values))
            row["original"], row["mutated"] = unescape(row["original"]), unescape(row["mutated"])
            rows.append(row)
    return rows


def write_rows(rows, out):
    for m in rows:
        out.write("\t".join(escape(str(m.get(k, ""))) for k in FIELDS) + "\n")


def command_generate(args):
    if args.source_results:
        rows = [r for r in read_results(args.source_results) if r["outcome"] == "caught"]
        chosen = [{k: r[k] for k in FIELDS[:6]} for r in rows]
    else:
        chosen = select(all_mutants(args.root, args.files, args.headers), args.seed, args.count)
    write_rows(chosen, sys.stdout)


def locate(lines, row):
    """Line index of the mutant's original line, nearest to the recorded line number."""
    want = int(row["line"]) - 1
    hits = [i for i, text in enumerate(lines) if text == row["original"]]
    return min(hits, key=lambda i: abs(i - want)) if hits else None


def command_apply(args):
    row = dict(zip(FIELDS, args.fields + [""] * (len(FIELDS) - len(args.fields))))
    row["original"], row["mutated"] = unescape(row["original"]), unescape(row["mutated"])
    path = os.path.join(args.tree, row["file"])
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    at = locate(lines, row)
    if at is None:
        print(f"mutant {row['id']}: line not found in {row['file']}", file=sys.stderr)
        return 3
    lines[at] = row["mutated"]
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))
    print(at + 1)
    return 0


def tree_files(root, scratch):
    """The files of the working tree (tracked or not ignored), without build folders and the scratch folder."""
    try:
        listing = subprocess.run(["git", "-C", root, "ls-files", "-co", "--exclude-standard", "-z"], check=True,
                                 capture_output=True).stdout.decode().split("\0")
    except (OSError, subprocess.CalledProcessError):  # not a git checkout: every file but builds and .git
        listing = [os.path.relpath(os.path.join(folder, name), root)
                   for folder, dirs, files in os.walk(root) for name in files]
    skip = os.path.relpath(os.path.realpath(scratch), os.path.realpath(root))
    return [p for p in listing
            if p and not p.startswith(("build", ".git" + os.sep)) and not (p + os.sep).startswith(skip + os.sep)
            and os.path.isfile(os.path.join(root, p))]


def command_sync(args):
    """Makes the scratch tree equal to the working tree, touching only files whose content differs."""
    wanted = set(tree_files(args.root, os.path.dirname(os.path.realpath(args.tree))))
    changed = 0
    for rel in sorted(wanted):
        source, target = os.path.join(args.root, rel), os.path.join(args.tree, rel)
        with open(source, "rb") as f:
            data = f.read()
        if os.path.exists(target):
            with open(target, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(source, target)
        shutil.copymode(source, target)
        changed += 1
    for folder, _, files in os.walk(args.tree):
        for name in files:
            rel = os.path.relpath(os.path.join(folder, name), args.tree)
            if rel not in wanted:
                os.remove(os.path.join(folder, name))
                changed += 1
    print(changed)


def command_suite(args):
    """The test programs of a build: the targets to build, each gtest program once (run whole, failing fast) with
    its working folder, and the other tests as one ctest name pattern."""
    listing = subprocess.run(["ctest", "--test-dir", args.build, "-N", "--show-only=json-v1"], check=True,
                             capture_output=True, text=True).stdout
    programs, others, targets = {}, [], ["korvex"]
    build = os.path.realpath(args.build)
    for test in json.loads(listing).get("tests", []):
        command = test.get("command") or []
        if command and os.path.realpath(command[0]).startswith(build + os.sep):
            target = os.path.basename(command[0])
            if target not in targets:
                targets.append(target)
        if any(part.startswith("--gtest_filter=") for part in command):
            folder = next((p["value"] for p in test.get("properties", []) if p.get("name") == "WORKING_DIRECTORY"),
                          args.build)
            programs.setdefault(command[0], folder)
        elif test["name"] not in others:
            others.append(test["name"])
    print("targets\t" + " ".join(targets))
    for program, folder in programs.items():
        print(f"gtest\t{folder}\t{program}")
    if others:
        print("ctest\t" + args.build + "\t^(" + "|".join(re.escape(name) for name in others) + ")$")


def command_compare(args):
    before = read_results(args.before)
    after = {r["id"]: r for r in read_results(args.after)}
    lost = [r for r in before if r["outcome"] == "caught" and after.get(r["id"], {}).get("outcome") != "caught"]
    caught_before = sum(r["outcome"] == "caught" for r in before)
    caught_after = sum(r["outcome"] == "caught" for r in after.values())
    print(f"caught before: {caught_before}, caught after: {caught_after}, "
          f"caught before but not after: {len(lost)}")
    for r in lost:
        now = after.get(r["id"], {}).get("outcome", "not run")
        print(f"{r['id']}\t{r['file']}:{r['line']}\t{r['operator']}\t{now}\t{r['mutated'].strip()}")
    return 1 if lost else 0


def command_count(args):
    rows = read_results(args.results)
    counts = {}
    for r in rows:
        counts[r["outcome"]] = counts.get(r["outcome"], 0) + 1
    scored = counts.get("caught", 0) + counts.get("survived", 0)
    score = f", score {100.0 * counts.get('caught', 0) / scored:.1f}%" if scored else ""
    kinds = ["caught", "survived", "build-failed", "equivalent"] + sorted(
        k for k in counts if k not in ("caught", "survived", "build-failed", "equivalent"))
    print(", ".join(f"{k} {counts.get(k, 0)}" for k in kinds) + score)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    sub = parser.add_subparsers(dest="command", required=True)
    g = sub.add_parser("generate")
    g.add_argument("--root", required=True)
    g.add_argument("--seed", type=int, default=1)
    g.add_argument("--count", type=int, default=0)
    g.add_argument("--files", default="")
    g.add_argument("--headers", action="store_true")
    g.add_argument("--source-results", default="")
    a = sub.add_parser("apply")
    a.add_argument("--tree", required=True)
    a.add_argument("fields", nargs="+")
    s = sub.add_parser("sync")
    s.add_argument("--root", required=True)
    s.add_argument("--tree", required=True)
    t = sub.add_parser("suite")
    t.add_argument("--build", required=True)
    c = sub.add_parser("compare")
    c.add_argument("before")
    c.add_argument("after")
    n = sub.add_parser("count")
    n.add_argument("results")
    args = parser.parse_args()
    handler = {"generate": command_generate, "apply": command_apply, "sync": command_sync,
               "suite": command_suite, "compare": command_compare, "count": command_count}[args.command]
    sys.exit(handler(args) or 0)


if __name__ == "__main__":
    main()

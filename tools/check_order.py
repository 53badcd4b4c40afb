"""The order rule and the borrowing rule of the native code (see common/README.md).

1. Snippets that break the rule must not compile: the shared layer refuses
   them (two host evaluations under one operator or in one call, a method
   call whose argument is evaluated before its lookup, keyword names without
   values, a temporary's object handed to a C function); a control snippet
   of the allowed forms must compile.
2. A lint for what the compiler cannot see: APIs that read the caller's
   builtins, borrowed objects kept in a Handle local, and host evaluations
   passed to a module's own helper functions (which may look something up
   before they use the argument, as Python would first).

    python tools/check_order.py [--skip FOLDER ...]
"""
import os
import re
import subprocess
import sys
import sysconfig

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODULES = ["taskrunner", "coordworker", "sysutil", "threadtimer"]

PRELUDE = '#include "host.hpp"\nusing namespace host;\n'
REFUSED = {
    "two calls as + operands": ('Ref f(Handle o) { return o.attr(ID("a")) + o.attr(ID("b")); }',
                                "two host evaluations as operands"),
    "two calls as == operands": ('bool f(Handle o) { return o.attr(ID("a")) == o.attr(ID("b")); }',
                                 "two host evaluations as operands"),
    "a call with two computed arguments": ('Ref f(Handle o) { return o(o.attr(ID("a")), o.attr(ID("b"))); }',
                                           "several host evaluations"),
    "a tuple of two computed items": ('Ref f(Handle o) { return tuple(o.attr(ID("a")), o.attr(ID("b"))); }',
                                      "several host evaluations"),
    "a computed argument of obj.call": ('Ref f(Handle o) { return o.call(ID("m"), o.attr(ID("a"))); }',
                                        "looks the method up"),
    "a computed argument of print": ('void f(const Globals& g, Handle o) { print(g, o.attr(ID("a"))); }',
                                     "looks print up"),
    "computed key and value": ('void f(Handle o) { o.set_item(o.attr(ID("a")), o.attr(ID("b"))); }',
                               "set_item(<host evaluation>"),
    "isinstance of two computed operands": ('bool f(Handle o) { return is_instance(o.attr(ID("a")), o.attr(ID("b"))); }',
                                            "is_instance(<host evaluation>"),
    "more keyword names than arguments": ('Ref f(Handle o) { return o(KW("a", "b"), o); }',
                                          "more keyword names than arguments"),
    "a temporary's object handed to C": ('PyObject* f(Handle o) { return PyTuple_Pack(2, o.attr(ID("a")).ptr(), o.ptr()); }',
                                         "deleted function"),
}
ALLOWED = '''
Ref f(const Globals& g, Handle o) {
    Ref a = o.attr(ID("a"));
    Ref s = a + o.attr(ID("b"));
    s = s + str("x");
    bool same = a == o.attr(ID("c"));
    Ref m = o.attr(ID("m"));
    m(a, o.attr(ID("d")), str("k"), integer(1), tuple(a, o), same);
    m(KW("x"), o.attr(ID("e")), a);
    o.call(ID("m"), KW("y"), a, str("k"), true);
    o.set_item(a, o.attr(ID("f")));
    print(g, a, str("t"));
    g[ID("print")](o.attr(ID("g")));
    return tuple(o.attr(ID("h")), a, str("z"));
}
'''


def compile_snippet(code):
    cxx = os.environ.get("CXX", "c++")
    cmd = [cxx, "-std=c++17", "-fsyntax-only", "-x", "c++", "-I", os.path.join(ROOT, "common"),
           "-I", sysconfig.get_paths()["include"], "-"]
    p = subprocess.run(cmd, input=PRELUDE + code, capture_output=True, text=True, timeout=120)
    return p.returncode == 0, p.stderr


def check_compiler():
    failures = []
    ok, err = compile_snippet(ALLOWED)
    if not ok:
        failures.append(f"the allowed forms do not compile:\n{err}")
    for name, (code, message) in REFUSED.items():
        ok, err = compile_snippet(code)
        if ok or message not in err:
            failures.append(f"{name}: {'compiles' if ok else 'refused for another reason:'}\n{'' if ok else err}")
    return failures


# ------------------------------------------------------------------ lint

BANNED = re.compile(r"\b(PyEval_GetBuiltins|PyEval_GetGlobals|PyImport_ImportModule|PyImport_Import)\s*\(")
BORROWED_LOCAL = re.compile(r"\bHandle\s+\w+\s*[(=]\s*.*\b(type_of|Py_TYPE|GetItem\w*|GET_ITEM)\b")
EVALUATION = re.compile(r"\.attr\(|\.call\(|\.str\(\)|\bg_?\[|\]\(")
DEFINITION = re.compile(r"^(?:static\s+)?(?:inline\s+)?(?:Ref|void|bool|long|double|int|Py_ssize_t)\s+(\w+)\(", re.M)


def arguments(text, start):
    """The text between the parenthesis at `start` and its match (string
    and character literals and line comments do not count)."""
    depth = 0
    i = start
    while i < len(text):
        c = text[i]
        if text.startswith("//", i):
            i = text.find("\n", i)
            if i < 0:
                break
        elif c in "\"'":
            j = i + 1
            while j < len(text) and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            i = j
        elif c == "(":
            depth += 1
        elif c == ")":
            depth -= 1
            if depth == 0:
                return text[start + 1:i]
        i += 1
    return ""


def lint(folders):
    findings = []
    for folder in folders:
        paths = [os.path.join(folder, f) for f in sorted(os.listdir(os.path.join(ROOT, folder)))
                 if f.endswith((".cpp", ".hpp"))]
        texts = {p: open(os.path.join(ROOT, p), encoding="utf-8").read() for p in paths}
        helpers = {n for t in texts.values() for n in DEFINITION.findall(t)}
        helpers -= {n for n in helpers if n.startswith(("runner_", "gate_", "watchdog_", "group_"))}
        call = re.compile(r"(?<![\w.>:])(" + "|".join(map(re.escape, sorted(helpers))) + r")\(") if helpers else None
        for path, text in texts.items():
            for n, line in enumerate(text.splitlines(), 1):
                if BANNED.search(line):
                    findings.append(f"{path}:{n}: reads the caller's builtins or imports around them: {line.strip()}")
                if BORROWED_LOCAL.search(line):
                    findings.append(f"{path}:{n}: a borrowed object kept in a Handle local; own it (Ref): "
                                    f"{line.strip()}")
            if not call:
                continue
            for m in call.finditer(text):
                line_start = text.rfind("\n", 0, m.start()) + 1
                if DEFINITION.match(text, line_start):
                    continue
                args = re.sub(r"\{[^{}]*\}", "", arguments(text, m.end() - 1))  # lambda bodies
                while re.search(r"\{[^{}]*\}", args):
                    args = re.sub(r"\{[^{}]*\}", "", args)
                args = re.sub(r"\[[&=\w, ]*\]\(", "(", args)  # lambda introducers
                if EVALUATION.search(args) and "// order:" not in text[line_start:text.find("\n", m.end())]:
                    n = text.count("\n", 0, m.start()) + 1
                    findings.append(f"{path}:{n}: host evaluation passed to the helper {m.group(1)}(), which may "
                                    f"look its callee up after it; name the steps in Python's order")
    for folder in ["common"]:
        for f in sorted(os.listdir(os.path.join(ROOT, folder))):
            p = os.path.join(folder, f)
            for n, line in enumerate(open(os.path.join(ROOT, p), encoding="utf-8"), 1):
                if BANNED.search(line):
                    findings.append(f"{p}:{n}: reads the caller's builtins or imports around them")
    return findings


def main(argv):
    skip = set()
    while "--skip" in argv:
        i = argv.index("--skip")
        skip.add(argv[i + 1])
        del argv[i:i + 2]
    problems = check_compiler() + lint([m for m in MODULES if m not in skip])
    for p in problems:
        print(p)
    print(f"order check: {len(REFUSED)} refused forms, lint of {', '.join(m for m in MODULES if m not in skip)}: "
          f"{'ok' if not problems else f'{len(problems)} problem(s)'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

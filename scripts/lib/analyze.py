#!/usr/bin/env python3
"""Static analysis of the project's own sources, started by scripts/analyze (which configures the i686 tree
first): analyze.py TOP BUILD OUT [SOURCE...]. TOP is the checkout, BUILD the i686 tree whose
compile_commands.json gives each source's flags, OUT the folder for clang's own database; SOURCE paths
(from TOP) choose some sources. The two passes are described in scripts/analyze."""
import concurrent.futures, glob, json, os, re, shlex, subprocess, sys, time

top, build, out, chosen = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
triple = "i686-w64-mingw32"
# The libstdc++ of the posix-thread mingw g++ (GCC 12 on Debian 12), which clang does not pick on its own.
gcc_cxx = max(glob.glob(f"/usr/lib/gcc/{triple}/*-posix/include/c++"), default=None)
if not gcc_cxx:
    sys.exit(f"analyze: no posix-thread libstdc++ under /usr/lib/gcc/{triple} (run scripts/setup)")
jobs = 2

def ours(path):
    return any(path.startswith(f"{top}/{d}/") for d in ("src", "tools", "tests", "bench"))

def clang_arguments(entry):
    """The build's defines, include folders and language level for clang, from one compile command; the
    include folders sit in response files (@file) relative to the entry's folder."""
    words = shlex.split(entry["command"])[1:]
    kept, i = [], 0
    while i < len(words):
        w = words[i]
        if w.startswith("@"):
            with open(os.path.join(entry["directory"], w[1:])) as f:
                words[i + 1:i + 1] = shlex.split(f.read())
        elif w == "-isystem":
            kept += [w, words[i + 1]]
            i += 1
        elif w.startswith(("-D", "-I", "-std=")):
            kept.append(w)
        elif w in ("-o", "-MF", "-MT"):
            i += 1
        i += 1
    return ["clang++-14", f"--target={triple}", f"--sysroot=/usr/{triple}", "-isystem", gcc_cxx,
            "-isystem", f"{gcc_cxx}/{triple}", *kept, "-fsyntax-only", entry["file"]]

entries = [e for e in json.load(open(f"{build}/compile_commands.json")) if ours(e["file"])]
entries.sort(key=lambda e: e["file"])
os.makedirs(out, exist_ok=True)
database = [{"directory": e["directory"], "file": e["file"], "arguments": clang_arguments(e)} for e in entries]
with open(f"{out}/compile_commands.json", "w") as f:
    json.dump(database, f, indent=1)
if chosen:
    unknown = set(chosen) - {d["file"][len(top) + 1:] for d in database}
    if unknown:
        sys.exit(f"analyze: not a source of the build: {' '.join(sorted(unknown))}")
    database = [d for d in database if d["file"][len(top) + 1:] in chosen]

def run(arguments, folder):
    done = subprocess.run(arguments, cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return done.returncode, done.stdout

def in_parallel(commands):
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        return list(pool.map(lambda c: run(*c), commands))

def relative(text):
    return text.replace(top + "/", "")

failed = False
print(f"== static analysis: {len(database)} sources for {triple}, {jobs} processes")

# Pass 1: thread safety, over src/.
start = time.monotonic()
library = [d for d in database if d["file"].startswith(f"{top}/src/")]
results = in_parallel([(d["arguments"][:-1] + ["-Wthread-safety", "-Werror", d["file"]], d["directory"])
                       for d in library])
broken = [output for code, output in results if code != 0 or output.strip()]
for output in broken:
    print(relative(output), end="")
print(f"clang -Wthread-safety: {len(broken)} of {len(library)} sources with findings "
      f"({time.monotonic() - start:.0f} s)")
failed |= bool(broken)

# Pass 2: clang-tidy. A finding is its diagnostic line and the notes and source lines that follow it;
# one in a header comes once per source that includes it, and is shown once.
start = time.monotonic()
header_filter = "^" + re.escape(top) + "/(src|tools|tests|bench|include)/"
results = in_parallel([(["clang-tidy-14", "--quiet", f"-p={out}", f"--header-filter={header_filter}",
                         d["file"]], d["directory"]) for d in database])
diagnostic = re.compile(r"^(/[^:]+):(\d+):(\d+): (warning|error): .*\[([^\]]+)\]$")
findings = {}
for code, output in results:
    current = None
    for line in output.splitlines():
        match = diagnostic.match(line)
        if match:
            key = (relative(match[1]), int(match[2]), int(match[3]), match[5])
            current = findings.setdefault(key, [])
            current[:] = [relative(line)]
        elif current is not None and not re.match(r"\d+ (warning|error)s? (and \d+ errors? )?generated", line):
            current.append(relative(line))
    if code != 0 and current is None:  # clang-tidy failed without saying where
        print(relative(output))
        failed = True
for key in sorted(findings):
    print("\n".join(findings[key]))
print(f"clang-tidy: {len(findings)} findings ({time.monotonic() - start:.0f} s)")
failed |= bool(findings)
sys.exit(1 if failed else 0)

#!/usr/bin/python3
"""Plants one fault at a time in src/ (a one-character change from planted_faults.txt), rebuilds,
runs the test suite and records whether it failed (the fault is caught) or passed (missed).
The source file is restored after each fault, also on Ctrl-C.

  planted_faults.py BUILD_DIR [--faults FILE] [--only ID,ID] [--ctest-args "-L cli"] > table.txt
"""
import argparse
import pathlib
import subprocess
import sys
import time

root = pathlib.Path(__file__).resolve().parent.parent   # the checkout this script lies in


def load(path):
    faults = []
    for line in path.read_text(encoding="latin-1").splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        ident, file, old, new = (p.strip() for p in line.split(" @@ "))
        faults.append((ident.strip(), file, old.replace("\\n", "\n"), new.replace("\\n", "\n")))
    return faults


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--faults", default=str(root / "bench" / "planted_faults.txt"))
    ap.add_argument("--only", default="")
    ap.add_argument("--ctest-args", default="")
    a = ap.parse_args()
    only = set(filter(None, a.only.split(",")))
    print(f"{'fault':18} {'file':38} result  seconds", flush=True)
    for ident, file, old, new in load(pathlib.Path(a.faults)):
        if only and ident not in only:
            continue
        path = root / "src" / file
        text = path.read_bytes().decode("latin-1")
        if text.count(old) != 1:
            print(f"{ident:18} {file:38} PATTERN-NOT-UNIQUE ({text.count(old)})", flush=True)
            continue
        start = time.time()
        try:
            path.write_bytes(text.replace(old, new).encode("latin-1"))
            built = subprocess.run(["cmake", "--build", a.build], capture_output=True).returncode == 0
            if not built:
                result = "build-failed"
            else:
                r = subprocess.run(["ctest", "--test-dir", a.build, "-j2", "--timeout", "300"] + a.ctest_args.split(),
                                   capture_output=True, text=True)
                failed = [l.split(" - ", 1)[1].split(" (")[0] for l in r.stdout.split("tests FAILED:")[-1].splitlines()
                          if " - " in l] if r.returncode != 0 else []
                result = f"caught by {len(failed)}: " + ", ".join(failed[:2]) if r.returncode != 0 else "MISSED"
        finally:
            path.write_bytes(text.encode("latin-1"))
        print(f"{ident:18} {file:38} {result}  {time.time() - start:.0f}", flush=True)
    subprocess.run(["cmake", "--build", a.build], capture_output=True)


if __name__ == "__main__":
    main()

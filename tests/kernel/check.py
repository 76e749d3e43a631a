"""Reads the virtual machine's console log: every case must have passed and
every -json line must parse. Prints the results and the figures. With
--bench: the timing runs, as one JSON object of medians for bench/run."""
import json
import statistics
import sys

if "--bench" in sys.argv:
    runs = {"quorvel": [], "reference": [], "gap-quorvel": [], "gap-reference": []}
    details = []
    for line in open(sys.argv[1], errors="replace"):
        fields = line.split()
        if line.startswith("QVK-DETAIL bench-"):
            details.append(line.rstrip("\n"))
        if line.startswith("QVK-TIME bench "):
            if fields[6] != "0":
                sys.exit("bench run failed: " + line + "\n".join(details))
            runs[fields[2]].append(int(fields[4]) / 1000)
            runs["gap-" + fields[2]].append(int(fields[-1]))
    if not runs["quorvel"] or not runs["reference"]:
        sys.exit("no bench runs in the console log")
    print(json.dumps({key: statistics.median(values) for key, values in runs.items()}))
    sys.exit(0)

EXPECTED = ["stall", "all-stall", "unplug", "list", "example", "image24", "image56", "image100", "serial", "location", "all", "wait",
            "wait-gives-up", "set-report", "touch", "expect-app", "expect-app-stays", "boot",
            "stamp"]

results, failures = {}, []
for line in open(sys.argv[1], errors="replace"):
    line = line.rstrip("\n")
    if line.startswith(("QVK-CASE ", "QVK-TIME ", "QVK-HOST ", "QVK-BOOTED", "QVK-DETAIL ")):
        print(line)
    if line.startswith("QVK-CASE "):
        name, verdict = line.split(" ")[1:3]
        results[name] = verdict
    elif line.startswith("QVK-JSON "):
        name, text = line[len("QVK-JSON "):].split(" ", 1)
        try:
            json.loads(text)
        except ValueError:
            failures.append("%s: a -json line that does not parse: %s" % (name, text))
for name in EXPECTED:
    if results.get(name) != "PASS":
        failures.append("%s: %s" % (name, results.get(name, "did not run")))
if failures:
    print("FAIL: " + "; ".join(failures))
    sys.exit(1)
print("PASS: %d cases through the real kernel" % len(EXPECTED))

#!/usr/bin/env python3
"""A detector that speaks SARIF: runs a ThreadSanitizer-built program and writes its reports
as a SARIF 2.1.0 log. Usage: tsan-sarif.py REPORT PROGRAM [ARG...]

Each report becomes a result; each access ("Write of size 4 at ... by thread T2:") a thread
flow whose locations go from the outermost call down to the access; the report's first line
its rule and kind; what the access was (read or write) a property.
"""
import json, os, re, signal, subprocess, sys, tempfile

GLOBAL = re.compile(r"Location is global '(?P<sym>[^']*)'(?: of size \d+)? at (?P<addr>0x[0-9a-f]+) \((?P<obj>.+?)\+(?P<off>0x[0-9a-f]+)\)")
HEAP = re.compile(r"Location is heap block of size (?P<size>\d+) at (?P<addr>0x[0-9a-f]+)")
FRAME = re.compile(r"^\s+#\d+ (?P<fn>.*?) (?P<loc>\S+?)(?::(?P<line>\d+))?(?::\d+)? \((?P<obj>.+?)\+0x[0-9a-f]+\)")

def reports(log):
    """Yields (kind, [(access kind, [frame...])], memory) for each report of a ThreadSanitizer
    log; the memory as the corpus's results describe it, where the log says."""
    kind, stacks, stack, memory, first = None, [], None, {}, None
    for line in log.splitlines():
        if "WARNING: ThreadSanitizer: " in line:
            kind = line.split("ThreadSanitizer: ", 1)[1].split(" (pid=")[0]
            stacks, stack, memory, first = [], None, {}, None
        elif kind and line.startswith(("SUMMARY:", "==================")):
            if stacks:
                yield kind, stacks, memory
            kind = None
        elif kind and line.startswith("  ") and line[2] != " ":
            g, h = GLOBAL.search(line), HEAP.search(line)
            if g:
                memory = {"kind": "global", "symbol": "" if g["sym"] == "<null>" else g["sym"],
                          "object": g["obj"],
                          "address": g["addr"], "offset": g["off"]}
            elif h:
                memory = {"kind": "heap", "block_size": int(h["size"]), "address": h["addr"],
                          "allocated": []}
                if first is not None and first >= int(h["addr"], 16):  # where in the block
                    memory["block_offset"] = hex(first - int(h["addr"], 16))
            access = " of size " in line and not line.startswith("  Location")
            # The frames under a heap block's line are where it was allocated.
            stack = [] if access else memory["allocated"] if h else None
            if access and first is None:
                first = int(re.search(r" at (0x[0-9a-f]+)", line)[1], 16)
            if access:
                stacks.append(("write" if "rite of size" in line else "read", stack))
        elif kind and stack is not None:
            m = FRAME.match(line)
            if m:
                stack.append({"function": "" if m["fn"] == "<null>" else m["fn"],
                              "file": m["loc"] if m["line"] else "",
                              "line": int(m["line"] or 0), "object": m["obj"]})

def location(f):
    loc = {"message": {"text": f["function"] or f["object"] or "?"},
           "properties": {"function": f["function"], "object": f["object"]}}
    path = f["file"] or f["object"]
    if path:
        loc["physicalLocation"] = {"artifactLocation": {"uri": "file://" + path}}
        if f["line"]:
            loc["physicalLocation"]["region"] = {"startLine": f["line"]}
    return loc

def sarif(log):
    results = []
    for kind, stacks, memory in reports(log):
        flows = [{"locations": [{"location": location(f)} for f in reversed(stack)]}
                 for _, stack in stacks]
        results.append({"ruleId": kind.replace(" ", "-"), "message": {"text": kind},
                        "properties": {"kind": kind, "accessKinds": [k for k, _ in stacks],
                                       "memory": memory},
                        "codeFlows": [{"threadFlows": flows}]})
    return {"version": "2.1.0", "runs": [{"tool": {"driver": {"name": "tsan-sarif"}},
                                          "results": results}]}

def main():
    report, program = sys.argv[1], sys.argv[2:]
    # A run the runner ends (SIGTERM to the whole group) still gets its report: the program
    # ends, and then the report is written. A handler, not SIG_IGN, which the program would
    # inherit.
    signal.signal(signal.SIGTERM, lambda *_: None)
    with tempfile.TemporaryDirectory() as logs:
        env = dict(os.environ)
        env["TSAN_OPTIONS"] = env.get("TSAN_OPTIONS", "") + f" log_path={logs}/tsan"
        status = subprocess.call(program, env=env)
        log = "".join(open(os.path.join(logs, n)).read() for n in sorted(os.listdir(logs)))
    with open(report, "w") as out:
        json.dump(sarif(log), out, indent=1)
    if status < 0:  # ended by a signal: end by the same one
        signal.signal(-status, signal.SIG_DFL)
        os.kill(os.getpid(), -status)
    sys.exit(status)

if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The tables and summaries the bench and soak scripts print.

    bench_report.py gang-row COUNT WALL USER SYSTEM ONE MATCHED
    bench_report.py gang-processes-row START END ONE MATCHED
    bench_report.py soak-summary WORK IDLE_TICKS IDLE_S LOAD_TICKS START END HZ STATUS SLOTS
"""
import json
import os
import sys


def gang_row(count, wall, user, system, one, matched):
    """One row of bench-gang.sh: COUNT boards flashed by one process."""
    count, wall, user, system, one = (float(v) for v in (count, wall, user, system, one))
    cpu = user + system
    label = f"{int(count)} in one process"
    print(f"{label:<22} {wall:8.2f} {wall / one:8.2f}x {cpu:8.2f} {100 * cpu / wall:7.2f}% {matched:>12}")


def gang_processes_row(start, end, one, matched):
    """The last row of bench-gang.sh: two processes of one board each."""
    start, end, one = (float(v) for v in (start, end, one))
    wall = end - start
    print(f"{'2 processes, 1 each':<22} {wall:8.2f} {wall / one:8.2f}x {'':>8} {'':>8} {matched:>12}")


def soak_summary(work, idle_ticks, idle_s, load_ticks, start, end, hz, status, slots):
    """station-soak.sh's counts; exit status 1 when a board went wrong."""
    hz = int(hz)
    folder = os.path.join(work, "boards")
    outputs = {
        name[:-4]: open(os.path.join(folder, name)).read() for name in os.listdir(folder) if name.endswith(".out")
    }
    # A board appeared once its simulator published its port; one pulled out sooner never did.
    boards = {name: text for name, text in outputs.items() if "serving" in text}
    pulled_names = {name[:-7] for name in os.listdir(folder) if name.endswith(".pulled")}
    records = [json.loads(line) for line in open(os.path.join(work, "log.jsonl"))]
    by_board = {}
    for record in records:
        by_board.setdefault(os.path.basename(record["port"]), []).append(record)
    ok = [r for r in records if r["result"] == "ok"]
    differs = [r for r in ok if "memory matches" not in boards.get(os.path.basename(r["port"]), "")]
    twice = [b for b, rs in by_board.items() if len(rs) > 1]
    unrecorded = [b for b in boards if b not in by_board]
    retried_ok = sum(1 for r in ok if r.get("attempts", 1) > 1)
    pulled = len(pulled_names & boards.keys())
    reasons = {}
    for r in records:
        if r["result"] != "ok":
            why = "pulled out" if os.path.basename(r["port"]) in pulled_names else (r["messages"] or ["?"])[-1]
            reasons[why] = reasons.get(why, 0) + 1
    wall = float(end) - float(start)
    print(f"slots: {slots}, load: {wall:.0f} s, station exit status: {status}")
    print(f"boards appeared: {len(boards)} ({pulled} pulled out at random)")
    print(f"records in the log: {len(records)} (boards recorded twice: {len(twice)}, never: {len(unrecorded)})")
    print(f"boards flashed (ok): {len(ok)}, of them after a retry: {retried_ok}; failed: {len(records) - len(ok)}")
    print(f"boards recorded ok whose memory differs: {len(differs)}")
    for why, count in sorted(reasons.items(), key=lambda item: -item[1]):
        print(f"  failed: {count} x {why}")
    idle_cpu = int(idle_ticks) / hz
    load_cpu = int(load_ticks) / hz
    print(f"station CPU idle: {idle_cpu:.2f} s in {idle_s} s = {100 * idle_cpu / float(idle_s):.3f} %")
    print(f"station CPU under load: {load_cpu:.2f} s in {wall:.0f} s = {100 * load_cpu / wall:.2f} %")
    for r in differs[:5]:
        print("differs:", r["port"], boards.get(os.path.basename(r["port"]), "").strip())
    bad = differs or twice or unrecorded or len(records) != len(boards) or int(status) != 130
    return 1 if bad else 0


COMMANDS = {"gang-row": gang_row, "gang-processes-row": gang_processes_row, "soak-summary": soak_summary}

if __name__ == "__main__":
    if len(sys.argv) < 2 or sys.argv[1] not in COMMANDS:
        sys.exit(__doc__)
    sys.exit(COMMANDS[sys.argv[1]](*sys.argv[2:]))

#!/usr/bin/env python3
"""The tables and summaries the bench and soak scripts print.

    bench_report.py gang-row COUNT WALL USER SYSTEM ONE MATCHED
    bench_report.py gang-processes-row START END ONE MATCHED
    bench_report.py soak-summary WORK IDLE_TICKS IDLE_S LOAD_TICKS START END HZ STATUS SLOTS
    bench_report.py line-summary WORK MODE START END HZ KILLED_STATION
"""
import collections
import json
import math
import os
import re
import statistics
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


def json_lines(path):
    """The objects of a JSON-lines file; a line cut short by a killed writer is left out."""
    objects = []
    if os.path.exists(path):
        for line in open(path):
            try:
                objects.append(json.loads(line))
            except json.JSONDecodeError:
                pass
    return objects


def percentile(values, share):
    ordered = sorted(values)
    return ordered[max(0, math.ceil(share * len(ordered)) - 1)]


def board_outputs(folder):
    """What each simulated board of a station said: NAME -> (appeared, memory matches, number read back)."""
    boards = {}
    for name in os.listdir(folder):
        if name.endswith(".out"):
            text = open(os.path.join(folder, name)).read()
            number = re.search(r"serial number (\d+)", text)
            boards[name[:-4]] = ("serving" in text, "memory matches" in text, int(number[1]) if number else None)
    return boards


def line_station(work, station, hz, wall):
    """One station's boards, log and CPU."""
    folder = os.path.join(work, station)
    boards = board_outputs(os.path.join(folder, "boards"))
    pulled = {name[:-7] for name in os.listdir(os.path.join(folder, "boards")) if name.endswith(".pulled")}
    events = [e for e in json_lines(os.path.join(folder, "log.jsonl")) if e.get("event") == "board"]
    ticks = sum(int(line.split()[1]) for line in open(os.path.join(work, "cpu.txt")) if line.split()[0] == station)
    return {"boards": boards, "pulled": pulled, "events": events, "cpu": ticks / hz, "share": ticks / hz / wall}


def pool_state(work):
    """The pool at the end: the next new number, and the numbers free and reserved."""
    state = {"next": 1, "free": set(), "reserved": set()}
    for line in open(os.path.join(work, "pool.txt")):
        what, number = line.split()
        if what == "next":
            state["next"] = int(number)
        else:
            state[what].add(int(number))
    return state


def drew_number(event):
    """Whether the board asked the pool for a number (it then has a record)."""
    return "serial" in event or any("serial number could be reserved" in m for m in event["messages"])


def record_counts(stations, rows, killed):
    """Each finished board (a log record) against the store's rows, by station and port."""
    by_key = collections.Counter((r["station"], os.path.basename(r["port"])) for r in rows)
    logged = set()
    counts = collections.Counter()
    for station, figures in stations.items():
        for event in figures["events"]:
            key = (station, os.path.basename(event["port"]))
            logged.add(key)
            found = by_key.get(key, 0)
            if found:
                counts["one" if found == 1 else "twice"] += 1
            else:
                counts["lost" if drew_number(event) else "no number"] += 1
    extra = collections.Counter(station for station, _ in set(by_key) - logged)
    # Killed between its record and its log line: only the killed station, for a board it had running.
    counts["unlogged"] = sum(extra.values())
    counts["unlogged unexplained"] = sum(n for station, n in extra.items() if station != killed)
    return counts


def number_counts(stations, rows, pool):
    """Numbers given twice, numbers missing from the run, and what the boards read back."""
    kept = [r["serial"] for r in rows if r["result"] == "ok"]
    held = set(kept)
    gaps = {n for n in range(1, max(held, default=0) + 1) if n not in held}
    given_back = pool["free"] | pool["reserved"]
    read_back, differs, misread = [], 0, 0
    for figures in stations.values():
        for event in (e for e in figures["events"] if e["result"] == "ok"):
            _, matches, number = figures["boards"].get(os.path.basename(event["port"]), (False, False, None))
            differs += not matches
            misread += number != event.get("serial")
            read_back.append(number)
    return {
        "kept": len(kept),
        "twice": [n for n, c in collections.Counter(kept).items() if c > 1],
        "read twice": [n for n, c in collections.Counter(read_back).items() if c > 1 and n is not None],
        "differs": differs,
        "misread": misread,
        "gaps": gaps,
        "gaps given back": gaps & given_back,
        "lost": set(range(1, pool["next"])) - held - given_back,
        "free and kept": held & pool["free"],
        "free": pool["free"],
        "reserved": pool["reserved"],
    }


def failure_reasons(stations, rows):
    """Why boards failed: pulled out, stopped at the end, else the record's reason or the last line."""
    recorded = {(r["station"], os.path.basename(r["port"])): r["reason"] for r in rows}
    reasons = collections.Counter()
    for station, figures in stations.items():
        for e in (e for e in figures["events"] if e["result"] != "ok"):
            name = os.path.basename(e["port"])
            why = recorded.get((station, name)) or e.get("reason") or (e["messages"] or ["?"])[-1]
            if e.get("interrupted"):
                why = "interrupted at the end"
            reasons["pulled out" if name in figures["pulled"] else why] += 1
    return reasons


def print_stations(stations, rows):
    rows_by_station = collections.Counter(r["station"] for r in rows)
    heads = ("appeared", "finished", "ok", "failed", "records")
    print(f"{'station':<8} " + " ".join(f"{h:>9}" for h in heads) + f" {'CPU':>8} {'share':>7}")
    for station, f in stations.items():
        ok = sum(1 for e in f["events"] if e["result"] == "ok")
        appeared = sum(1 for seen, _, _ in f["boards"].values() if seen)
        counts = (appeared, len(f["events"]), ok, len(f["events"]) - ok, rows_by_station[station])
        print(f"{station:<8} " + " ".join(f"{c:>9}" for c in counts) + f" {f['cpu']:>7.2f}s {100 * f['share']:>6.2f}%")


def print_line_figures(stations, rows, numbers, records, waits):
    print_stations(stations, rows)
    n = numbers
    print(f"numbers kept by passed boards: {n['kept']}; given twice: {len(n['twice'])} (goal 0); "
          f"read back twice from the boards: {len(n['read twice'])} (goal 0)")
    print(f"passed boards whose memory differs: {n['differs']}, "
          f"whose number read back differs: {n['misread']} (goal 0)")
    print(f"gaps below the highest kept number: {len(n['gaps'])}, of them given back at the end and not given "
          f"again: {len(n['gaps given back'])} (free at the end: {len(n['free'])}, held by a gone instance: "
          f"{len(n['reserved'])}); numbers lost: {len(n['lost'])} (goal 0)")
    finished = sum(len(f["events"]) for f in stations.values())
    print(f"finished boards (log records): {finished}; with exactly one record: {records['one']}, "
          f"twice: {records['twice']} (goal 0), lost: {records['lost']} (goal 0), "
          f"none as they drew no number: {records['no number']}")
    print(f"records without a log record: {records['unlogged']} "
          f"(on the killed station: {records['unlogged'] - records['unlogged unexplained']})")
    if waits:
        print(f"time to reserve a number ({len(waits)} boards): "
              f"median {1000 * statistics.median(waits):.1f} ms, p99 {1000 * percentile(waits, 0.99):.1f} ms, "
              f"max {1000 * max(waits):.1f} ms")
    for why, count in failure_reasons(stations, rows).most_common():
        print(f"  failed: {count} x {why}")


def line_summary(work, mode, start, end, hz, killed):
    """line-soak.sh's figures; exit status 1 when a goal is missed."""
    wall = float(end) - float(start)
    names = sorted(n for n in os.listdir(work) if n.startswith("line-"))
    stations = {name: line_station(work, name, int(hz), wall) for name in names}
    rows = json_lines(os.path.join(work, "records.jsonl"))
    records = record_counts(stations, rows, killed)
    numbers = number_counts(stations, rows, pool_state(work))
    load = [float(v) for v in open(os.path.join(work, "load.txt"))]
    exits = [line.split() for line in open(os.path.join(work, "exits.txt"))]
    spooled = sum(json_lines(os.path.join(work, "spooled.txt")))
    waits = [e["serial_reserve_s"] for f in stations.values() for e in f["events"] if "serial_reserve_s" in e]
    faults = "; ".join(open(os.path.join(work, "faults.txt")).read().splitlines())
    print(f"{mode}: {len(stations)} station(s), {wall:.0f} s; {faults}")
    print(f"load average (1 min) during the run: min {min(load):.2f}, "
          f"median {statistics.median(load):.2f}, max {max(load):.2f}")
    print_line_figures(stations, rows, numbers, records, waits)
    print(f"stations' exit status after SIGTERM: {' '.join(f'{s}={c}' for s, c in exits)}; "
          f"records still in a spool: {spooled}")
    slots = 8  # a station has at most this many boards running when it is killed
    bad = (numbers["twice"] or numbers["read twice"] or numbers["differs"] or numbers["misread"] or numbers["lost"]
           or numbers["gaps"] - numbers["gaps given back"] or numbers["free and kept"] or records["twice"]
           or records["lost"] or records["unlogged unexplained"] or records["unlogged"] > slots or spooled
           or any(code != "143" for _, code in exits) or not numbers["kept"])
    return 1 if bad else 0

COMMANDS = {
    "gang-row": gang_row,
    "gang-processes-row": gang_processes_row,
    "soak-summary": soak_summary,
    "line-summary": line_summary,
}

if __name__ == "__main__":
    if len(sys.argv) < 2 or sys.argv[1] not in COMMANDS:
        sys.exit(__doc__)
    sys.exit(COMMANDS[sys.argv[1]](*sys.argv[2:]))

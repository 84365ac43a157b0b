#!/usr/bin/env python3
"""Prints the table of a zentrel_bench run from its JSON output.

For every input: the call's median time, each stage's median time and its
share of the call, and the share of the library's own work (the stages that
are not an imaging library call). The time of the call that no stage accounts
for (trace lines, the lock, the result lists, and measurement noise) is shown
apart. Then one summary line per input, with the gathering's speedup over
the plain scan it replaced.
"""
import json
import sys
from collections import OrderedDict


def milliseconds(entry):
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[entry["time_unit"]]
    return entry["real_time"] * scale


def load(path):
    with open(path, encoding="utf-8") as stream:
        data = json.load(stream)
    entries = data["benchmarks"]
    has_medians = any(e.get("aggregate_name") == "median" for e in entries)
    inputs = OrderedDict()
    errors = []
    for entry in entries:
        if has_medians and entry.get("aggregate_name") != "median":
            continue
        if entry.get("error_occurred"):
            errors.append(f"{entry['name']}: {entry.get('error_message', 'error')}")
            continue
        name = entry.get("run_name", entry["name"])
        if name.endswith("/manual_time"):
            name = name[: -len("/manual_time")]
        job, input_name, stage = name.split("/")
        stages = inputs.setdefault((job, input_name), OrderedDict())
        stages[stage] = {
            "ms": milliseconds(entry),
            "kind": entry.get("label", ""),
            "candidates": entry.get("candidates"),
        }
    return inputs, errors


def order(key):
    """Repeat before rectify; then kind, pixel count and tile, or format and size."""
    job, input_name = key
    parts = input_name.split("-")
    rank = {"repeat": 0, "rectify": 1, "rgb8": 0, "grey8": 1, "rgb16": 2, "png": 0, "jpg": 1,
            "few": 0, "many": 1}
    width, height = (int(v) for v in parts[1].split("x"))
    return (rank.get(job, 9), rank.get(parts[0], 9), width * height,
            rank.get(parts[2], 9) if len(parts) > 2 else 0, input_name)


STAGES = ["call", "decode", "resize", "crop", "keypoints", "grid", "match", "threshold",
          "gather", "gather_scan", "prune", "order", "map_back", "corners", "transform",
          "warp", "paths", "encode"]


def percent(part, whole):
    return f"{100.0 * part / whole:5.1f}%" if whole > 0 else "    -"


def main(path):
    inputs, errors = load(path)
    print(f"{'job / input':<28} {'stage':<12} {'kind':<7} {'median ms':>10} {'share':>7}")
    summary = []
    for job, input_name in sorted(inputs, key=order):
        stages = inputs[(job, input_name)]
        call = stages.get("call")
        if call is None:
            continue
        print(f"{job + ' ' + input_name:<28} {'call':<12} {'':<7} {call['ms']:>10.4f} {'100.0%':>7}")
        own = imaging = 0.0
        in_order = sorted(stages.items(),
                          key=lambda item: STAGES.index(item[0]) if item[0] in STAGES else 99)
        for stage, value in in_order:
            if stage == "call" or value["kind"] == "reference":
                continue
            if value["kind"] == "own":
                own += value["ms"]
            else:
                imaging += value["ms"]
            print(f"{'':<28} {stage:<12} {value['kind']:<7} {value['ms']:>10.4f} "
                  f"{percent(value['ms'], call['ms']):>7}")
        rest = call["ms"] - own - imaging
        print(f"{'':<28} {'(own work)':<12} {'':<7} {own:>10.4f} {percent(own, call['ms']):>7}")
        print(f"{'':<28} {'(no stage)':<12} {'':<7} {rest:>10.4f} {percent(rest, call['ms']):>7}")
        gather = stages.get("gather")
        scan = stages.get("gather_scan")
        speedup = scan["ms"] / gather["ms"] if gather and scan and gather["ms"] > 0 else None
        candidates = gather.get("candidates") if gather else None
        summary.append((job, input_name, call["ms"], own, max(rest, 0.0), gather, scan, speedup,
                        candidates))

    print()
    print(f"{'job':<8}{'input':<22}{'call ms':>9}{'own':>8}{'own+rest':>10}"
          f"{'gather ms':>11}{'scan ms':>9}{'speedup':>9}{'gathered':>10}")
    worst_own = 0.0
    worst_bound = 0.0
    many_speedups = []
    for job, input_name, call, own, rest, gather, scan, speedup, candidates in summary:
        worst_own = max(worst_own, own / call)
        worst_bound = max(worst_bound, (own + rest) / call)
        if speedup is not None and input_name.endswith("-many"):
            many_speedups.append(speedup)
        gather_text = f"{gather['ms']:.3f}" if gather else "-"
        scan_text = f"{scan['ms']:.2f}" if scan else "-"
        speedup_text = f"{speedup:.1f}x" if speedup else "-"
        candidates_text = f"{candidates:.0f}" if candidates else "-"
        print(f"{job:<8}{input_name:<22}{call:>9.2f}{percent(own, call):>8}"
              f"{percent(own + rest, call):>10}{gather_text:>11}{scan_text:>9}"
              f"{speedup_text:>9}{candidates_text:>10}")
    print()
    print(f"library's own work: at most {100 * worst_own:.1f}% of a call "
          f"({100 * worst_bound:.1f}% counting the time no stage accounts for)")
    if many_speedups:
        print(f"gathering on the many-candidate inputs: {min(many_speedups):.1f}x to "
              f"{max(many_speedups):.1f}x faster than the plain scan")
    for error in errors:
        print(f"error: {error}")
    return 1 if errors else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: bench_table.py BENCHMARK.json")
    sys.exit(main(sys.argv[1]))

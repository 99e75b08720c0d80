#!/usr/bin/env python3
"""Runs qor-bench with repetitions and prints, per goal, the median time ratio qor / peer.

Every goal is a ratio between implementations measured in the same run; the medians are taken
over the repetitions (interleaved at random, so that a burst of load on a shared machine falls
on both sides). Times are CPU times unless --real-time is given.

The interning floors are what the design allows at least: the peer's tokeniser (RapidJSON's
Reader, msgpack-cxx's unpack) plus one copy and one FNV-1a of every string and key, no tree.

usage: compare.py [--bench PATH] [--repetitions N] [--min-time S] [--real-time]
                  [--json FILE] [--save FILE] [--http-ratio R] [--plot FILE.svg]
Exit status: 0 when every measured goal is met, 1 when one is missed, 2 on a usage or run error.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys

# (area, qor benchmark, peer benchmark, peer's description, goal: qor / peer at most)
GOALS = [
    ("JSON parse", "json_parse/qor/catalog", "json_parse/rapidjson_document/catalog",
     "RapidJSON Document", 1.25),
    ("JSON parse", "json_parse/qor/catalog", "json_parse/nlohmann/catalog", "nlohmann", 0.2),
    ("JSON parse", "json_parse/qor/catalog", "json_parse/interning_floor/catalog",
     "interning floor", 1.1),
    ("JSON write", "json_write/qor/catalog", "json_write/rapidjson_writer/catalog",
     "RapidJSON Writer", 1.2),
    ("JSON write", "json_write/qor/catalog", "json_write/nlohmann/catalog", "nlohmann", 0.4),
    ("MessagePack decode", "msgpack_decode/qor/catalog", "msgpack_decode/msgpack_cxx/catalog",
     "msgpack-cxx", 1.0),
    ("MessagePack decode", "msgpack_decode/qor/catalog", "msgpack_decode/nlohmann/catalog",
     "nlohmann", 0.1),
    ("MessagePack decode", "msgpack_decode/qor/catalog",
     "msgpack_decode/interning_floor/catalog", "interning floor", 1.1),
    ("YAML read", "yaml_read/qor/catalog", "yaml_read/libyaml_events/catalog", "libyaml events",
     1.5),
    ("YAML read", "yaml_read/qor/catalog", "yaml_read/yaml_cpp/catalog", "yaml-cpp", 0.15),
    ("records from tree", "records_from_tree/qor/catalog", "records_from_tree/nlohmann/catalog",
     "nlohmann", 0.5),
    ("route match", "route_match/qor/store_paths", "route_match/std_regex/store_paths",
     "std::regex", 0.05),
    ("dispatch", "dispatch/qor/order_notification",
     "dispatch/std_regex_per_call/order_notification", "per-call std::regex", 0.1),
]
HTTP_GOAL = 0.8  # throughput qor-host / bare libmicrohttpd server, at least

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def default_bench():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    return os.path.join(root, "build", "bench", "bench", "qor-bench")


def run(bench, repetitions, min_time, save):
    names = sorted({name for goal in GOALS for name in goal[1:3]})
    pattern = "^(" + "|".join(names) + ")$"
    command = [bench, "--benchmark_filter=" + pattern,
               "--benchmark_repetitions=%d" % repetitions,
               "--benchmark_enable_random_interleaving=true",
               "--benchmark_min_time=%g" % min_time,
               "--benchmark_format=json"]
    try:
        finished = subprocess.run(command, check=True, stdout=subprocess.PIPE)
    except (OSError, subprocess.CalledProcessError) as error:
        sys.exit("compare.py: running %s failed: %s" % (bench, error))
    if save:
        with open(save, "wb") as out:
            out.write(finished.stdout)
    return json.loads(finished.stdout)


def times(report, real_time):
    """Per benchmark name, the time of each repetition in nanoseconds."""
    key = "real_time" if real_time else "cpu_time"
    found = {}
    for entry in report.get("benchmarks", []):
        if entry.get("run_type", "iteration") != "iteration" or entry.get("error_occurred"):
            continue
        name = entry.get("run_name", entry["name"])
        found.setdefault(name, []).append(entry[key] * UNIT_NS[entry.get("time_unit", "ns")])
    return found


def plot(rows, http_ratio, path):
    """Draws each ratio divided by its goal on a log scale, as SVG: a bar left of the goal line
    is a goal met, right of it a goal missed; the labels give the ratio and the goal."""
    try:
        import matplotlib
    except ImportError:
        sys.exit("compare.py: --plot needs matplotlib (Debian: python3-matplotlib, for "
                 "/usr/bin/python3)")
    matplotlib.use("svg")
    from matplotlib import pyplot

    labels = ["%s: qor / %s" % (area, peer) for area, peer, _, _ in rows]
    notes = ["%.3f (goal <= %.2f)" % (ratio, goal) for _, _, ratio, goal in rows]
    scaled = [ratio / goal for _, _, ratio, goal in rows]
    if http_ratio is not None:  # a goal "at least": its inverse is a goal "at most"
        labels.append("HTTP throughput: qor-host / bare libmicrohttpd")
        notes.append("%.3f (goal >= %.2f)" % (http_ratio, HTTP_GOAL))
        scaled.append(HTTP_GOAL / http_ratio)
    figure, axes = pyplot.subplots(figsize=(9, 0.4 * len(labels) + 1.3))
    positions = list(range(len(labels)))
    colours = ["#3a7d44" if value <= 1.0 else "#b23a48" for value in scaled]
    axes.barh(positions, [value - 1.0 for value in scaled], left=1.0, color=colours, height=0.6)
    axes.axvline(1.0, color="black", linewidth=1)
    for position, value, note in zip(positions, scaled, notes):
        axes.text(value, position, " %s " % note, va="center", fontsize=8,
                  ha="left" if value >= 1.0 else "right")
    axes.set_xscale("log")
    low, high = min(scaled + [1.0]), max(scaled + [1.0])
    axes.set_xlim(low / 4, high * 4)
    axes.set_yticks(positions)
    axes.set_yticklabels(labels, fontsize=8)
    axes.invert_yaxis()
    axes.set_xlabel("ratio / goal (log scale): left of the line the goal is met")
    figure.tight_layout()
    figure.savefig(path, format="svg")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bench", default=default_bench())
    parser.add_argument("--repetitions", type=int, default=9)
    parser.add_argument("--min-time", type=float, default=0.5)
    parser.add_argument("--real-time", action="store_true")
    parser.add_argument("--json", help="read this earlier --benchmark_format=json output")
    parser.add_argument("--save", help="keep the run's JSON output here")
    parser.add_argument("--http-ratio", type=float,
                        help="throughput ratio printed by scripts/http-bench.sh")
    parser.add_argument("--plot", metavar="FILE.svg",
                        help="also draw the ratios against their goals into this SVG file")
    args = parser.parse_args()
    if args.repetitions < 1:
        parser.error("--repetitions must be at least 1")

    if args.json:
        with open(args.json) as source:
            report = json.load(source)
    else:
        report = run(args.bench, args.repetitions, args.min_time, args.save)
    measured = times(report, args.real_time)
    context = report.get("context", {})

    print("| area | qor / peer | median ratio | goal | met |")
    print("|---|---|---|---|---|")
    missed = False
    rows = []
    for area, ours, peer, description, goal in GOALS:
        if ours not in measured or peer not in measured:
            print("| %s | qor / %s | not measured | <= %.2f | - |" % (area, description, goal))
            missed = True
            continue
        ratio = statistics.median(measured[ours]) / statistics.median(measured[peer])
        met = ratio <= goal
        missed = missed or not met
        rows.append((area, description, ratio, goal))
        print("| %s | qor / %s | %.3f | <= %.2f | %s |" %
              (area, description, ratio, goal, "yes" if met else "no"))
    if args.http_ratio is not None:
        met = args.http_ratio >= HTTP_GOAL
        missed = missed or not met
        print("| HTTP throughput | qor-host / bare libmicrohttpd | %.3f | >= %.2f | %s |" %
              (args.http_ratio, HTTP_GOAL, "yes" if met else "no"))
    floors = [name for name in sorted(measured) if "/interning_floor/" in name]
    if floors:
        print()
        print("Floors: " + ", ".join("%s %.2f ms" % (name, statistics.median(measured[name]) / 1e6)
                                     for name in floors))
    if args.plot:
        plot(rows, args.http_ratio, args.plot)
    print()
    print("Medians of %d repetitions (%s time); %s, %s CPUs at %s MHz, load %s." % (
        max(len(values) for values in measured.values()) if measured else 0,
        "real" if args.real_time else "CPU", context.get("host_name", "?"),
        context.get("num_cpus", "?"), context.get("mhz_per_cpu", "?"),
        ", ".join("%.2f" % load for load in context.get("load_avg", [])) or "?"))
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())

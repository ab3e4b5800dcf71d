#!/usr/bin/env python3
"""Reads the JSON output of repeated reader benchmark runs and prints the
ratios against the peers: for each document, the median over runs of the
ratio measured inside one run (ours and the peer read the same bytes in the
same process, so machine noise that lasts longer than a benchmark cancels).
Writes the table as Markdown and a chart of throughput as SVG.

usage: bench_compare.py OUT_DIR RUN.json...
Each RUN.json is the --benchmark_out of one process of json_bench,
msgpack_bench, yaml_bench or dispatch_bench (its round trips of a body);
the program is told by its benchmark names.
"""

import json
import statistics
import sys
from pathlib import Path

DOCUMENTS = ["chat", "numbers", "record", "nested"]
DOCUMENT_TITLES = {
    "chat": "chat log (long strings, few keys)",
    "numbers": "number rows",
    "record": "one record (fixed cost of a read)",
    "nested": "nested objects (2-8 keys, depth to 50)",
}

# format: (our benchmark prefix, [(peer title, peer prefix, ratio counter)])
FORMATS = {
    "JSON": ("BM_ReadJson<false>/", [("RapidJSON DOM", "BM_RapidJsonDocument/", "vs_rapidjson")]),
    "MessagePack": ("BM_ReadMessagePack/", [("msgpack-cxx", "BM_MsgpackCxxUnpack/", "vs_msgpack_cxx")]),
    "YAML": (
        "BM_ReadYaml/",
        [
            ("libyaml events", "BM_LibYamlEvents/", "vs_libyaml"),
            ("yaml-cpp", "BM_YamlCppLoad/", "vs_yamlcpp"),
        ],
    ),
}


def document_of(name):
    # "BM_ReadJson<false>/3/256" -> 3; "BM_RapidJsonDocument/1" -> 1
    parts = name.split("/")
    try:
        return DOCUMENTS[int(parts[1])]
    except (IndexError, ValueError):
        return None


def collect(paths):
    """ratios[format][peer][doc] and speed[format][who][doc]: lists over runs."""
    ratios, speed = {}, {}
    for path in paths:
        runs = json.loads(Path(path).read_text())["benchmarks"]
        for fmt, (ours, peers) in FORMATS.items():
            for b in runs:
                name = b.get("run_name", b["name"])
                if b.get("run_type") == "aggregate" or b.get("error_occurred"):
                    continue
                doc = document_of(name)
                if doc is None:
                    continue
                if name.startswith(ours):
                    speed.setdefault(fmt, {}).setdefault("ours", {}).setdefault(doc, []).append(b["MBps"])
                    for title, _, counter in peers:
                        if b.get(counter, 0) > 0:
                            ratios.setdefault(fmt, {}).setdefault(title, {}).setdefault(doc, []).append(b[counter])
                for title, prefix, _ in peers:
                    if name.startswith(prefix):
                        speed.setdefault(fmt, {}).setdefault(title, {}).setdefault(doc, []).append(b["MBps"])
    return ratios, speed


def memory(paths):
    """Median bytes per node of the finished JSON tree: ours and the DOM's."""
    found = {}
    for path in paths:
        for b in json.loads(Path(path).read_text())["benchmarks"]:
            name = b.get("run_name", b["name"])
            if name.startswith("BM_TreeBytesPerNode/") and "bytes_per_node" in b:
                doc = document_of(name)
                found.setdefault(doc, ([], []))
                found[doc][0].append(b["bytes_per_node"])
                found[doc][1].append(b["rapidjson_bytes_per_node"])
    if not found:
        return ""
    lines = ["", "| JSON tree, bytes per node | this library | RapidJSON DOM |", "|---|---:|---:|"]
    for doc in DOCUMENTS:
        if doc in found:
            ours, peer = found[doc]
            lines.append(f"| {DOCUMENT_TITLES[doc]} | {statistics.median(ours):.1f} | {statistics.median(peer):.1f} |")
    return "\n".join(lines) + "\n"


def round_trip(paths):
    """Median ratio of a body's round trip through the request entry (decode,
    handler, answer as host records, release) to the peer's parse alone."""
    found = {}
    for path in paths:
        for b in json.loads(Path(path).read_text())["benchmarks"]:
            name = b.get("run_name", b["name"])
            if not name.startswith("Echo/") or b.get("error_occurred") or b.get("vs_peer", 0) <= 0:
                continue
            fmt, doc = name.split("/")[1], document_of(name.replace("Echo/json", "Echo").replace("Echo/msgpack", "Echo"))
            found.setdefault(doc, {}).setdefault(fmt, []).append(b["vs_peer"])
    if not found:
        return ""
    lines = [
        "",
        "| round trip through the request entry | JSON vs RapidJSON parse | MessagePack vs msgpack-cxx unpack |",
        "|---|---:|---:|",
    ]
    for doc in DOCUMENTS:
        if doc not in found:
            continue
        cells = []
        for fmt in ("json", "msgpack"):
            values = found[doc].get(fmt, [])
            cells.append(f"{statistics.median(values):.2f} ({min(values):.2f}–{max(values):.2f})" if values else "—")
        lines.append(f"| {DOCUMENT_TITLES[doc]} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def table(ratios, runs):
    columns = [(fmt, title) for fmt, (_, peers) in FORMATS.items() for title, _, _ in peers if title in ratios.get(fmt, {})]
    lines = [
        "| document | " + " | ".join(f"{fmt} vs {title}" for fmt, title in columns) + " |",
        "|---|" + "---:|" * len(columns),
    ]
    for doc in DOCUMENTS:
        cells = []
        for fmt, title in columns:
            values = ratios[fmt][title].get(doc, [])
            if not values:
                cells.append("—")
            else:
                cells.append(f"{statistics.median(values):.2f} ({min(values):.2f}–{max(values):.2f})")
        lines.append(f"| {DOCUMENT_TITLES[doc]} | " + " | ".join(cells) + " |")
    lines.append("")
    lines.append(
        f"Ratio = peer time / our time on the same bytes in the same process (higher is better); "
        f"median over {runs} runs, range in parentheses."
    )
    return "\n".join(lines) + "\n"


def svg(speed):
    """Horizontal bars of median MB/s, one panel per format, ours beside each peer."""
    colours = ["#2b6cb0", "#c05621", "#718096"]
    bar, gap, label_w, plot_w = 14, 6, 260, 420
    rows = []
    y = 30
    for fmt in FORMATS:
        whos = list(speed.get(fmt, {}).keys())
        if not whos:
            continue
        top = max(statistics.median(v) for w in whos for v in speed[fmt][w].values())
        rows.append(f'<text x="10" y="{y}" font-weight="bold">{fmt} (MB/s)</text>')
        y += 10
        for doc in DOCUMENTS:
            present = [w for w in whos if doc in speed[fmt][w]]
            if not present:
                continue
            rows.append(f'<text x="10" y="{y + bar}">{DOCUMENT_TITLES[doc]}</text>')
            for i, who in enumerate(present):
                mbps = statistics.median(speed[fmt][who][doc])
                width = max(1.0, plot_w * mbps / top)
                colour = colours[i % len(colours)]
                name = "this library" if who == "ours" else who
                rows.append(f'<rect x="{label_w}" y="{y}" width="{width:.1f}" height="{bar}" fill="{colour}"/>')
                rows.append(f'<text x="{label_w + width + 4:.1f}" y="{y + bar - 3}">{mbps:.0f} {name}</text>')
                y += bar + 2
            y += gap
        y += 18
    height = y + 10
    return (
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{label_w + plot_w + 200}" height="{height}" '
        f'font-family="sans-serif" font-size="12">\n' + "\n".join(rows) + "\n</svg>\n"
    )


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    out = Path(sys.argv[1])
    paths = sys.argv[2:]
    ratios, speed = collect(paths)
    if not ratios:
        sys.exit("bench_compare: no ratios in the given runs")
    runs = max(len(v) for f in ratios.values() for p in f.values() for v in p.values())
    text = table(ratios, runs) + memory(paths) + round_trip(paths)
    out.mkdir(parents=True, exist_ok=True)
    (out / "compare.md").write_text(text)
    (out / "compare.svg").write_text(svg(speed))
    sys.stdout.write(text)
    print(f"written: {out / 'compare.md'}, {out / 'compare.svg'}")


if __name__ == "__main__":
    main()

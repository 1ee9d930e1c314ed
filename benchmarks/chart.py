"""Draws the README's chart from the instruction counts.

    python benchmarks/chart.py

Reads results/instructions-<host>.json (written by instructions.py) and
writes results/chart.svg: per operation, one bar per host with the native
cache's instructions as a fraction of the plain Python class's; prints the
same numbers as the README's Markdown table, newest host first (3.15, the
host the module is built for), and where each column comes from.  Shorter
is better; the line at 1 is "as costly as plain Python".  Needs nothing
beyond the standard library.
"""

import json
import pathlib

HERE = pathlib.Path(__file__).resolve().parent / "results"
COLOURS = ["#4c72b0", "#dd8452", "#55a868", "#c44e52", "#8172b3", "#937860"]
LABEL_WIDTH, PLOT_WIDTH, MAX_RATIO = 200, 460, 1.5
BAR, GAP, TOP = 7, 8, 58


def host_of(path):
    """ "3.12" or "3.15t", from results/instructions-3.12.json."""
    return path.stem.split("-", 1)[1]


def version_order(path):
    major, minor = host_of(path).rstrip("t").split(".")
    return int(major), int(minor), host_of(path).endswith("t")


def load():
    """Per host, newest first: its rows by (operation, key), and the whole record."""
    hosts, records = {}, {}
    for path in sorted(HERE.glob("instructions-*.json"), key=version_order, reverse=True):
        records[host_of(path)] = record = json.loads(path.read_text())
        hosts[host_of(path)] = {(r["operation"], r["key"]): r for r in record["rows"]}
    return hosts, records


def sources(records):
    """One line per host: what was measured, when, at which commit."""
    return "\n".join(
        f"- {host}: CPython {r.get('version', '?')} ({r.get('build', '?')} build), "
        f"{r.get('date', 'undated')}, commit {r.get('commit', 'unknown')[:12]}"
        for host, r in records.items()
    )


def svg(hosts):
    rows = list(dict.fromkeys(key for table in hosts.values() for key in table))
    group = len(hosts) * BAR + GAP
    height = TOP + len(rows) * group + 30
    width = LABEL_WIDTH + PLOT_WIDTH + 60
    x = lambda ratio: LABEL_WIDTH + min(ratio, MAX_RATIO) / MAX_RATIO * PLOT_WIDTH
    out = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
        f'font-family="sans-serif" font-size="11">',
        f'<rect width="{width}" height="{height}" fill="white"/>',
        '<text x="10" y="16" font-size="13" font-weight="bold">'
        "Instructions per operation, native cache / plain Python class (shorter is better)</text>",
    ]
    for i, host in enumerate(hosts):
        lx = LABEL_WIDTH - 120 + i * 95  # six hosts fit
        out.append(
            f'<rect x="{lx}" y="26" width="10" height="10" fill="{COLOURS[i % len(COLOURS)]}"/>'
            f'<text x="{lx + 14}" y="35">CPython {host}</text>'
        )
    bottom = height - 24
    for tick in (0, 0.25, 0.5, 0.75, 1.0, 1.25, 1.5):
        tx = x(tick)
        colour, w = ("#333", 1.5) if tick == 1.0 else ("#ddd", 1)
        out.append(
            f'<line x1="{tx:.1f}" y1="{TOP - 6}" x2="{tx:.1f}" y2="{bottom}" stroke="{colour}" stroke-width="{w}"/>'
            f'<text x="{tx:.1f}" y="{bottom + 14}" text-anchor="middle">{tick:g}</text>'
        )
    for r, (operation, key) in enumerate(rows):
        y0 = TOP + r * group
        label = operation if key == "member" else f"{operation} (plain key)"
        out.append(
            f'<text x="{LABEL_WIDTH - 6}" y="{y0 + len(hosts) * BAR / 2 + 4:.1f}" text-anchor="end">{label}</text>'
        )
        for i, table in enumerate(hosts.values()):
            row = table.get((operation, key))
            if not row:
                continue
            y = y0 + i * BAR
            end = x(row["ratio"])
            out.append(
                f'<rect x="{LABEL_WIDTH}" y="{y}" width="{end - LABEL_WIDTH:.1f}" height="{BAR - 1}" '
                f'fill="{COLOURS[i % len(COLOURS)]}"><title>{label}, CPython {list(hosts)[i]}: '
                f"{row['native']} / {row['plain']} = {row['ratio']:.2f}</title></rect>"
            )
            if row["ratio"] > MAX_RATIO:
                out.append(f'<text x="{end + 3:.1f}" y="{y + BAR - 1}" font-size="9">{row["ratio"]:.2f}</text>')
    out.append("</svg>")
    return "\n".join(out) + "\n"


def markdown(hosts):
    """The README's table: per operation and host, native / plain = ratio."""
    rows = list(dict.fromkeys(key for table in hosts.values() for key in table))
    lines = ["| operation | " + " | ".join(f"CPython {h}" for h in hosts) + " |", "|---" * (len(hosts) + 1) + "|"]
    for operation, key in rows:
        label = operation if key == "member" else f"{operation}, plain key"
        cells = []
        for table in hosts.values():
            row = table.get((operation, key))
            cells.append(f"{row['native']:,} / {row['plain']:,} = **{row['ratio']:.2f}**" if row else "")
        lines.append(f"| `{label}` | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main():
    hosts, records = load()
    if not hosts:
        raise SystemExit(f"no instruction counts in {HERE}: run benchmarks/instructions.py first")
    target = HERE / "chart.svg"
    target.write_text(svg(hosts))
    print(f"wrote {target} ({', '.join(hosts)})\n")
    print(markdown(hosts))
    print()
    print(sources(records))


if __name__ == "__main__":
    main()

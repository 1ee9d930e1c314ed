"""Draws the chart and the table of benchmarks/README.md from the instruction counts.

    python benchmarks/chart.py

Reads results/instructions-<host>.json (written by instructions.py) and
writes results/chart.svg: per operation, one bar per host with the native
cache's instructions as a fraction of the faithful plain Python class's
(``PlainCache``), and a second row against the idiomatic one
(``IdiomaticCache``) for the operations where it differs.  The same numbers,
as a Markdown table, newest host first (3.15, the host the module is built
for), and where each column comes from replace what stands between the
``chart.py`` markers of benchmarks/README.md, and are printed.  Shorter is
better; the line at 1 is "as costly as plain Python".  The host colours are the Okabe-Ito palette,
which readers with colour-blindness tell apart.  Needs nothing beyond the
standard library.
"""

import json
import pathlib

HERE = pathlib.Path(__file__).resolve().parent / "results"
README = HERE.parent / "README.md"
BEGIN, END = "<!-- chart.py: begin -->\n", "<!-- chart.py: end -->\n"
# Okabe-Ito: blue, orange, bluish green, vermilion, sky blue, reddish purple, yellow
COLOURS = ["#0072B2", "#E69F00", "#009E73", "#D55E00", "#56B4E9", "#CC79A7", "#F0E442"]
LABEL_WIDTH, PLOT_WIDTH, MAX_RATIO = 250, 460, 1.5
BAR, GAP, TOP = 7, 8, 58
# The plain class a row compares with: (key of its count, key of the ratio, label suffix)
BASELINES = {"plain": ("plain", "ratio", ""), "idiomatic": ("idiomatic", "idiomatic_ratio", " vs idiomatic class")}


def host_of(path):
    """ "3.12" or "3.15t", from results/instructions-3.12.json."""
    return path.stem.split("-", 1)[1]


def version_order(path):
    major, minor = host_of(path).rstrip("t").split(".")
    return int(major), int(minor), host_of(path).endswith("t")


def load():
    """Per host, newest first: (operation, key kind, baseline) -> (native,
    plain class, ratio), and the whole record."""
    hosts, records = {}, {}
    for path in sorted(HERE.glob("instructions-*.json"), key=version_order, reverse=True):
        records[host_of(path)] = record = json.loads(path.read_text())
        table = hosts[host_of(path)] = {}
        for r in record["rows"]:
            for baseline, (count, ratio, _) in BASELINES.items():
                if ratio in r:
                    table[r["operation"], r["key"], baseline] = (r["native"], r[count], r[ratio])
    return hosts, records


def sources(records):
    """One line per host: what was measured, when, at which commit."""
    return "\n".join(
        f"- {host}: CPython {r.get('version', '?')} ({r.get('build', '?')} build), "
        f"{r.get('date', 'undated')}, commit {r.get('commit', 'unknown')[:12]}"
        for host, r in records.items()
    )


def label(operation, key, separator):
    """The row's operation, and ", plain key" if the key is no member."""
    return operation + (f"{separator}plain key" if key == "plain" else "")


def svg(hosts):
    rows = list(dict.fromkeys(key for table in hosts.values() for key in table))
    group = len(hosts) * BAR + GAP
    height = TOP + len(rows) * group + 84
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
        lx = 10 + i * 95  # six hosts fit
        out.append(
            f'<rect x="{lx}" y="26" width="10" height="10" fill="{COLOURS[i % len(COLOURS)]}"/>'
            f'<text x="{lx + 14}" y="35">CPython {host}</text>'
        )
    bottom = height - 78
    for tick in (0, 0.25, 0.5, 0.75, 1.0, 1.25, 1.5):
        tx = x(tick)
        colour, w = ("#333", 1.5) if tick == 1.0 else ("#ddd", 1)
        out.append(
            f'<line x1="{tx:.1f}" y1="{TOP - 6}" x2="{tx:.1f}" y2="{bottom}" stroke="{colour}" stroke-width="{w}"/>'
            f'<text x="{tx:.1f}" y="{bottom + 14}" text-anchor="middle">{tick:g}</text>'
        )
    out.append(
        f'<text x="{LABEL_WIDTH + PLOT_WIDTH / 2:.0f}" y="{bottom + 30}" text-anchor="middle">'
        "native cache's instructions / the plain class's (1: as costly as the plain class)</text>"
        f'<text x="10" y="{bottom + 50}" font-size="10">The plain class is PlainCache of benchmarks/workload.py, '
        "the faithful one, written straight; in rows marked \u201cvs idiomatic class\u201d it is</text>"
        f'<text x="10" y="{bottom + 64}" font-size="10">IdiomaticCache, the same class as a user who tunes it '
        "writes it (member names through a dict built once, clear() as one slice assignment).</text>"
    )
    for r, (operation, key, baseline) in enumerate(rows):
        y0 = TOP + r * group
        name = label(operation, key, " (") + (")" if key == "plain" else "") + BASELINES[baseline][2]
        out.append(
            f'<text x="{LABEL_WIDTH - 6}" y="{y0 + len(hosts) * BAR / 2 + 4:.1f}" text-anchor="end">{name}</text>'
        )
        for i, table in enumerate(hosts.values()):
            if (operation, key, baseline) not in table:
                continue
            native, plain, ratio = table[operation, key, baseline]
            y = y0 + i * BAR
            end = x(ratio)
            out.append(
                f'<rect x="{LABEL_WIDTH}" y="{y}" width="{end - LABEL_WIDTH:.1f}" height="{BAR - 1}" '
                f'fill="{COLOURS[i % len(COLOURS)]}"><title>{name}, CPython {list(hosts)[i]}: '
                f"{native} / {plain} = {ratio:.2f}</title></rect>"
            )
            if ratio > MAX_RATIO:
                out.append(f'<text x="{end + 3:.1f}" y="{y + BAR - 1}" font-size="9">{ratio:.2f}</text>')
    out.append("</svg>")
    return "\n".join(out) + "\n"


def markdown(hosts):
    """The README's table: per operation and host, native / plain class = ratio."""
    rows = list(dict.fromkeys(key for table in hosts.values() for key in table))
    lines = ["| operation | " + " | ".join(f"CPython {h}" for h in hosts) + " |", "|---" * (len(hosts) + 1) + "|"]
    for operation, key, baseline in rows:
        cells = []
        for table in hosts.values():
            found = table.get((operation, key, baseline))
            cells.append(f"{found[0]:,} / {found[1]:,} = **{found[2]:.2f}**" if found else "")
        name = f"`{label(operation, key, ', ')}`{BASELINES[baseline][2]}"
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def main():
    hosts, records = load()
    if not hosts:
        raise SystemExit(f"no instruction counts in {HERE}: run benchmarks/instructions.py first")
    target = HERE / "chart.svg"
    target.write_text(svg(hosts))
    generated = f"{sources(records)}\n\n{markdown(hosts)}\n"
    text = README.read_text(encoding="utf-8")
    before, rest = text.split(BEGIN, 1)
    README.write_text(before + BEGIN + generated + END + rest.split(END, 1)[1], encoding="utf-8")
    print(f"wrote {target} and the table of {README} ({', '.join(hosts)})\n")
    print(generated)


if __name__ == "__main__":
    main()

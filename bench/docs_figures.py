"""Copies the figures of one benchmark run that the documentation cites from
make bench's results (build/bench/results/) into bench/results/.

Usage: docs_figures.py RUN [--from DIR]

RUN is the date that names the run's files (2026-12-08). For each kind of
result the run holds (the Python functions against NumPy/SciPy, the C++
overhead, the batched functions, the instruction-set levels, the accuracy),
the figures the pages show (tables as .md, plots as .png) replace that
kind's figures of an earlier run; the run's JSON stays in the build tree.
The pages under docs/ name the files they cite, so after a new run
`make docs` fails on every citation of a replaced file until the page is
brought up to date, and the site's test fails on a file that no page cites.
"""

import argparse
import re
import shutil
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FIGURES_DIR = ROOT / "bench" / "results"
RESULTS_DIR = ROOT / "build" / "bench" / "results"

# Kind: the suffix after the date, and the figures of it that pages show.
KINDS = {
    "python": ("", (".md", ".png")),
    "cpp": ("-cpp", (".md",)),
    "batched": ("-batched", (".md", ".png")),
    "levels": ("-levels", (".md",)),
    "accuracy": ("-accuracy", (".md", ".png")),
}
DATE = re.compile(r"^\d{4}-\d{2}-\d{2}$")


def kind_of(path: Path) -> str | None:
    """The kind of a figure file named <date><suffix><ext>, if it is one."""
    date, stem = path.stem[:10], path.stem[10:]
    if not DATE.match(date):
        return None
    for kind, (suffix, extensions) in KINDS.items():
        if stem == suffix and path.suffix in extensions:
            return kind
    return None


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("run", help="the date that names the run's files")
    parser.add_argument("--from", dest="source", type=Path, default=RESULTS_DIR,
                        help=f"where the run's results are (default: {RESULTS_DIR})")
    args = parser.parse_args()
    if not DATE.match(args.run):
        parser.error(f"a run is named by its date, YYYY-MM-DD (got {args.run!r})")

    copied = []
    for kind, (suffix, extensions) in KINDS.items():
        sources = [args.source / f"{args.run}{suffix}{ext}" for ext in extensions]
        if not all(source.exists() for source in sources):
            continue
        for old in FIGURES_DIR.iterdir():
            if kind_of(old) == kind:
                old.unlink()
                print(f"removed {old.relative_to(ROOT)}")
        for source in sources:
            shutil.copyfile(source, FIGURES_DIR / source.name)
            copied.append(source.name)
    if not copied:
        print(f"no figures of run {args.run} in {args.source}", file=sys.stderr)
        return 1
    print("copied " + ", ".join(copied) + " into bench/results/; cite them in docs/")
    return 0


if __name__ == "__main__":
    sys.exit(main())

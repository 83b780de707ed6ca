"""Compile the message catalogs of the `tarvek-skills` command.

    compile_catalogs.py PO_DIR OUT_DIR

Each `PO_DIR/<lang>.po` becomes `OUT_DIR/<lang>/LC_MESSAGES/tarvek-skills.mo`
(Babel, a build requirement).  An untranslated or fuzzy message fails the
build: a catalog that is not complete is a bug, not a fallback."""

import sys
from pathlib import Path

from babel.messages.mofile import write_mo
from babel.messages.pofile import read_po

DOMAIN = "tarvek-skills"


def main(po_dir: str, out_dir: str) -> int:
    failures = []
    for po in sorted(Path(po_dir).glob("*.po")):
        with open(po, "rb") as stream:
            catalog = read_po(stream, locale=po.stem)
        missing = [m.id for m in catalog if m.id and (not m.string or m.fuzzy)]
        if missing:
            failures.append(f"{po}: {len(missing)} message(s) without a translation, "
                            f"first {missing[0]!r}")
            continue
        target = Path(out_dir, po.stem, "LC_MESSAGES", f"{DOMAIN}.mo")
        target.parent.mkdir(parents=True, exist_ok=True)
        with open(target, "wb") as stream:
            write_mo(stream, catalog)
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))

"""Build step: prune the templates staged for a wheel to what the release
manifest admits, with the packaging module that was just built.

Run by the CMake install step as
    python prune_templates.py MODULE_FILE TEMPLATES_DIR ARTIFACT
The build profile is TARVEK_SKILL_PROFILE, read by the module itself; under
"dev", "internal" or no profile every template stays.  An unknown profile, or
one that has no entry for the artifact, fails the build with the module's
own message.  Packaging junk (bytecode, its caches, Finder metadata) goes
from the whole installed package first, by the module's own rule."""

from __future__ import annotations

import importlib.util
import sys
from pathlib import Path


def load_packaging(module_file: str):
    """The freshly built `tarvek.skills.packaging`, loaded from its file."""
    spec = importlib.util.spec_from_file_location("tarvek.skills.packaging", module_file)
    if spec is None or spec.loader is None:
        raise SystemExit(f"cannot load the packaging module from {module_file}")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def main(argv: list[str]) -> int:
    module_file, templates, artifact = argv
    packaging = load_packaging(module_file)
    packaging._remove_packaging_junk(Path(module_file).parent.parent)  # .../tarvek
    root = Path(templates)
    profile = packaging.current_profile()
    try:
        kept = packaging.prune_templates_dir(root, artifact=artifact,
                                             manifest_templates_dir=root)
    except packaging.SkillReleaseManifestError as exc:
        print(f"tarvek-skills build: {exc}", file=sys.stderr)
        return 1
    print(f"tarvek-skills build: profile {profile}, artifact {artifact}: "
          f"skill templates {', '.join(kept) or '(none)'}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

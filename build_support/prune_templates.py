"""Build step: prune the templates staged for a wheel to what the release
manifest admits, with the packaging module that was just built, and record
the build in them.

Run by the CMake install step as
    python prune_templates.py MODULE_FILE STAGED_TEMPLATES SOURCE_TEMPLATES ARTIFACT
The build profile is TARVEK_SKILL_PROFILE, else the one recorded in the
source tree (a tree unpacked from our sdist carries the sdist's record),
else "dev"; the log says which.  Under "dev" or "internal" every template
stays.  An unknown profile, or one that has no entry for the artifact, fails
the build with the module's own message.  Packaging junk (bytecode, its
caches, Finder metadata) goes from everything installed first, by the
module's own rule."""

from __future__ import annotations

import importlib.util
import sys
from pathlib import Path

SOURCE_ROOT = Path(__file__).resolve().parent.parent
# Where the wheel carries its templates, from the wheel's root.
WHEEL_TEMPLATES_PATH = "tarvek/skills/templates"


def _load(name: str, module_file: str | Path):
    spec = importlib.util.spec_from_file_location(name, module_file)
    if spec is None or spec.loader is None:
        raise SystemExit(f"cannot load {name} from {module_file}")
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module  # dataclasses look their module up while it loads
    try:
        spec.loader.exec_module(module)
    except BaseException:
        del sys.modules[name]
        raise
    return module


def load_packaging(module_file: str | Path):
    """The freshly built `tarvek.skills.packaging`, loaded from its file."""
    return _load("tarvek.skills.packaging", module_file)


def load_build_record():
    """`tarvek.skills.build_record` from the source tree (standard library
    only, so it runs before anything is installed)."""
    return _load("tarvek.skills.build_record",
                 SOURCE_ROOT / "src/tarvek/skills/build_record.py")


def main(argv: list[str]) -> int:
    module_file, staged, source, artifact = argv
    record = load_build_record()
    try:
        choice = record.choose_profile(source_templates=source)
    except record.BuildRecordError as exc:
        print(f"tarvek-skills build: {exc}", file=sys.stderr)
        return 1
    packaging = load_packaging(module_file)
    packaging._remove_packaging_junk(Path(module_file).parent.parent)  # .../tarvek
    root = Path(staged)
    try:
        kept = packaging.prune_templates_dir(root, profile=choice.profile, artifact=artifact,
                                             manifest_templates_dir=root)
    except packaging.SkillReleaseManifestError as exc:
        print(f"tarvek-skills build: {exc}", file=sys.stderr)
        return 1
    record.write_record(root, record.BuildRecord(
        profile=choice.profile, artifact=artifact, templates_path=WHEEL_TEMPLATES_PATH,
        profile_source=choice.source))
    print(f"tarvek-skills build: {choice.describe()}, artifact {artifact}: "
          f"skill templates {', '.join(kept) or '(none)'}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

"""Benchmarks of the skills layer on synthetic trees.

    python bench/bench_skills.py [--skills N] [--files M] [--repeat R]

Builds a templates tree of N skills with M files each (and some packaging
junk), a matching manifest, and a home directory with N installed skills,
then reports the best wall time of R runs for each operation, and the cost
of one call through the binding layer.
"""

import argparse
import json
import shutil
import tempfile
import time
from pathlib import Path

from tarvek.skills import packaging
from tarvek.skills.discovery import detector


def build_templates(root: Path, skills: int, files: int) -> None:
    manifest = {"skills": {}, "default": {"source": True}}
    for index in range(skills):
        name = f"skill-{index:05d}"
        skill = root / name
        (skill / "data").mkdir(parents=True)
        (skill / "SKILL.md").write_text(f"---\nname: {name}\ndescription: d\n---\n")
        (skill / "data" / "VERSION.json").write_text('{"version": "1.0.0"}')
        for number in range(files):
            sub = skill / "docs" / f"part{number % 4}"
            sub.mkdir(parents=True, exist_ok=True)
            (sub / f"page{number}.md").write_text("x")
        (skill / "__pycache__").mkdir()
        (skill / "__pycache__" / "m.cpython-313.pyc").write_bytes(b"")
        manifest["skills"][name] = {
            "tier": "core",
            "reason": "benchmark",
            "wheel": index % 2 == 0,
            "binary": index % 3 == 0,
        }
    (root / "manifest.json").write_text(json.dumps(manifest))


def build_installed(home: Path, skills: int) -> None:
    for index in range(skills):
        data = home / ".claude" / "skills" / f"s{index:05d}" / "data"
        data.mkdir(parents=True)
        (data / "VERSION.json").write_text('{"version": "2.0.0"}')


def best(repeat: int, func, setup=None) -> float:
    times = []
    for _ in range(repeat):
        if setup is not None:
            setup()
        start = time.perf_counter()
        func()
        times.append(time.perf_counter() - start)
    return min(times)


def per_call(func, calls: int = 200_000) -> float:
    start = time.perf_counter()
    for _ in range(calls):
        func()
    return (time.perf_counter() - start) / calls


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--skills", type=int, default=200)
    parser.add_argument("--files", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        base = Path(scratch)
        templates = base / "templates"
        build_templates(templates, args.skills, args.files)
        home = base / "home"
        build_installed(home, args.skills)
        copy = base / "copy"

        def fresh_copy():
            shutil.rmtree(copy, ignore_errors=True)
            shutil.copytree(templates, copy)

        ops = {
            "load_release_manifest": lambda: packaging.load_release_manifest(templates),
            "list_template_dirs": lambda: packaging.list_template_dirs(templates),
            "selected_skill_names(wheel)": lambda: packaging.selected_skill_names(
                profile="python-release", artifact="wheel", templates_dir=templates
            ),
            "validate_release_manifest": lambda: packaging.validate_release_manifest(templates),
            "collect_skill_datas": lambda: packaging.collect_skill_datas(templates_dir=templates),
            "discover": lambda: detector.SkillDetector().discover(cwd=base),
        }
        print(f"{args.skills} skills x {args.files} files, best of {args.repeat}")
        for name, func in ops.items():
            print(f"  {name:32s} {best(args.repeat, func) * 1e3:9.2f} ms")
        prune = lambda: packaging.prune_templates_dir(  # noqa: E731
            copy, profile="python-release", artifact="wheel", manifest_templates_dir=templates
        )
        print(f"  {'prune_templates_dir(wheel)':32s} {best(args.repeat, prune, fresh_copy) * 1e3:9.2f} ms")

        def python_profile_key(profile, artifact):
            return None

        call = per_call(lambda: packaging._profile_key("dev", "x"))
        baseline = per_call(lambda: python_profile_key("dev", "x"))
        print(f"  {'_profile_key call':32s} {call * 1e9:9.0f} ns  (a Python def: {baseline * 1e9:.0f} ns)")
        detector_instance = detector.SkillDetector()
        targets = [("claude", base)]
        call = per_call(lambda: detector_instance._dedupe_targets(targets))
        print(f"  {'_dedupe_targets method call':32s} {call * 1e9:9.0f} ns")


if __name__ == "__main__":
    main()

"""The central skills store, the built-in templates directory, the listing of
skill template directories, and the late binding of the names they use."""

import pathlib
import types
from pathlib import Path

import pytest

from tarvek.skills import packaging

pytestmark = pytest.mark.usefixtures("path_kind")

MODULE_TEMPLATES = Path(packaging.__file__).resolve().parent / "templates"


@pytest.fixture(autouse=True)
def clean_environment(monkeypatch, home):
    for name in ("TARVEK_CENTRAL_SKILLS_DIR", "TARVEK_BUILTIN_TEMPLATES_DIR", "LOCALAPPDATA"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.delattr(packaging.sys, "_MEIPASS", raising=False)


def windows_sys(monkeypatch):
    """Stands in for `sys` on the module, as a Windows interpreter has it."""
    stand_in = types.SimpleNamespace(platform="win32")
    monkeypatch.setattr(packaging, "sys", stand_in)
    return stand_in


@pytest.mark.parametrize(
    "value, expected",
    [
        ("  ~/x  ", lambda home: home / "x"),
        ("\t/abs/store\n", lambda home: Path("/abs/store")),
        ("relative/store", lambda home: Path("relative/store")),
        ("   ", lambda home: home / ".tarvek" / "skills"),
        ("", lambda home: home / ".tarvek" / "skills"),
    ],
)
def test_central_skills_dir_override(monkeypatch, home, value, expected):
    monkeypatch.setenv("TARVEK_CENTRAL_SKILLS_DIR", value)
    assert packaging.get_central_skills_dir() == expected(home)


def test_central_skills_dir_on_posix_does_not_need_to_exist(home):
    result = packaging.get_central_skills_dir()
    assert result == home / ".tarvek" / "skills" and not result.exists()
    # A concrete path of the platform, built from the module's current `Path`.
    assert isinstance(result, pathlib.Path) and str(result) == str(home / ".tarvek" / "skills")
    assert type(result) is type(packaging.Path())


@pytest.mark.parametrize(
    "local, expected",
    [
        (None, lambda home: home / "tarvek" / "skills"),
        ("  ", lambda home: home / "tarvek" / "skills"),
        (" C:/Users/u/AppData/Local ", lambda home: Path("C:/Users/u/AppData/Local/tarvek/skills")),
        ("~/appdata", lambda home: Path("~/appdata/tarvek/skills")),  # no ~ expansion
    ],
)
def test_central_skills_dir_on_windows(monkeypatch, home, local, expected):
    windows_sys(monkeypatch)
    if local is not None:
        monkeypatch.setenv("LOCALAPPDATA", local)
    assert packaging.get_central_skills_dir() == expected(home)


@pytest.mark.parametrize("platform", ["linux", "darwin", "cygwin", "WIN32"])
def test_every_other_platform_uses_the_dot_directory(monkeypatch, home, platform):
    monkeypatch.setattr(packaging, "sys", types.SimpleNamespace(platform=platform))
    monkeypatch.setenv("LOCALAPPDATA", "/ignored")
    assert packaging.get_central_skills_dir() == home / ".tarvek" / "skills"


def test_environment_is_read_on_every_call(monkeypatch, tmp_path):
    monkeypatch.setenv("TARVEK_CENTRAL_SKILLS_DIR", str(tmp_path / "one"))
    first = packaging.get_central_skills_dir()
    monkeypatch.setenv("TARVEK_CENTRAL_SKILLS_DIR", str(tmp_path / "two"))
    assert (first, packaging.get_central_skills_dir()) == (tmp_path / "one", tmp_path / "two")


def test_builtin_templates_default_is_beside_the_module():
    assert packaging.get_builtin_templates_dir() == MODULE_TEMPLATES


@pytest.mark.parametrize("value", [" ~/tpl ", "~/missing/dir"])
def test_builtin_templates_override_is_returned_unchecked(monkeypatch, home, value):
    monkeypatch.setenv("TARVEK_BUILTIN_TEMPLATES_DIR", value)
    assert packaging.get_builtin_templates_dir() == home / value.strip()[2:]


def test_builtin_templates_under_pyinstaller(monkeypatch, tmp_path):
    unpacked = tmp_path / "meipass"
    monkeypatch.setattr(packaging.sys, "_MEIPASS", str(unpacked), raising=False)
    # Nothing unpacked yet: the directory beside the module is used.
    assert packaging.get_builtin_templates_dir() == MODULE_TEMPLATES
    (unpacked / "tarvek" / "skills" / "templates").mkdir(parents=True)
    assert packaging.get_builtin_templates_dir() == unpacked / "tarvek" / "skills" / "templates"
    # The override still wins over the unpacked directory.
    monkeypatch.setenv("TARVEK_BUILTIN_TEMPLATES_DIR", str(tmp_path / "override"))
    assert packaging.get_builtin_templates_dir() == tmp_path / "override"


def test_empty_meipass_counts_as_absent(monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "tarvek" / "skills" / "templates").mkdir(parents=True)
    monkeypatch.setattr(packaging.sys, "_MEIPASS", "", raising=False)
    assert packaging.get_builtin_templates_dir() == MODULE_TEMPLATES


def test_builtin_templates_follow_the_module_file(monkeypatch, tmp_path):
    link = tmp_path / "linked.py"
    link.symlink_to(tmp_path / "real" / "mod.py")  # dangling is fine: non-strict resolve
    monkeypatch.setattr(packaging, "__file__", str(link))
    assert packaging.get_builtin_templates_dir() == tmp_path / "real" / "templates"


def make_dirs(root, *names):
    for name in names:
        (root / name).mkdir(parents=True)
    return root


def test_list_template_dirs_orders_case_sensitively(tmp_path):
    root = make_dirs(tmp_path / "t", "b", "A", "c", "a", "B", ".hidden", "__pycache__")
    (root / "manifest.json").write_text("{}")
    (root / "link").symlink_to(root / "c")
    (root / "dangling").symlink_to(root / "nowhere")
    assert [p.name for p in packaging.list_template_dirs(root)] == [
        ".hidden", "A", "B", "__pycache__", "a", "b", "c", "link",
    ]  # fmt: skip


@pytest.mark.parametrize("argument", [None, ""])
def test_list_template_dirs_false_argument_uses_builtin_dir(monkeypatch, tmp_path, argument):
    root = make_dirs(tmp_path / "t", "x")
    monkeypatch.setenv("TARVEK_BUILTIN_TEMPLATES_DIR", str(root))
    assert packaging.list_template_dirs(argument) == [root / "x"]


def test_list_template_dirs_keeps_relative_roots_relative(monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    make_dirs(tmp_path, "root/s")
    assert packaging.list_template_dirs(Path("root")) == [Path("root/s")]


def test_list_template_dirs_without_directories(tmp_path):
    root = tmp_path / "t"
    assert packaging.list_template_dirs(root) == []
    root.mkdir()
    (root / "manifest.json").write_text("{}")
    assert packaging.list_template_dirs(root) == []
    with pytest.raises(NotADirectoryError):
        packaging.list_template_dirs(root / "manifest.json")


# Late binding: the functions use whatever the module namespace holds now.


def test_rebound_builtin_templates_dir_is_used_by_the_others(monkeypatch, tmp_path):
    root = make_dirs(tmp_path / "t", "s")
    (root / "manifest.json").write_text('{"skills": {}}')
    monkeypatch.setattr(packaging, "get_builtin_templates_dir", lambda: root)
    assert packaging.list_template_dirs() == [root / "s"]
    assert packaging.load_release_manifest() == {"skills": {}}


def test_rebound_manifest_filename(monkeypatch, tmp_path):
    (tmp_path / "release.json").write_text('{"skills": {"a": {}}}')
    monkeypatch.setattr(packaging, "MANIFEST_FILENAME", "release.json")
    assert packaging.load_release_manifest(tmp_path) == {"skills": {"a": {}}}


def test_rebound_path_type_is_used_everywhere(monkeypatch, tmp_path):
    other_home = tmp_path / "elsewhere"

    class HomePath(type(Path())):
        @classmethod
        def home(cls):
            return cls(other_home)

    monkeypatch.setattr(packaging, "Path", HomePath)
    central = packaging.get_central_skills_dir()
    assert central == other_home / ".tarvek" / "skills" and isinstance(central, HomePath)
    windows_sys(monkeypatch)
    assert packaging.get_central_skills_dir() == other_home / "tarvek" / "skills"
    monkeypatch.setenv("TARVEK_BUILTIN_TEMPLATES_DIR", str(tmp_path))
    assert isinstance(packaging.get_builtin_templates_dir(), HomePath)


def test_rebound_os_environment(monkeypatch, tmp_path):
    monkeypatch.setattr(
        packaging, "os", types.SimpleNamespace(environ={"TARVEK_CENTRAL_SKILLS_DIR": str(tmp_path)})
    )
    assert packaging.get_central_skills_dir() == tmp_path


def test_missing_module_name_is_a_name_error(monkeypatch):
    monkeypatch.delattr(packaging, "Path")
    with pytest.raises(NameError, match="name 'Path' is not defined"):
        packaging.get_central_skills_dir()


def test_home_failure_passes_through(monkeypatch):
    class NoHome(type(Path())):
        @classmethod
        def home(cls):
            raise RuntimeError("Could not determine home directory.")

    monkeypatch.setattr(packaging, "Path", NoHome)
    with pytest.raises(RuntimeError, match="home directory"):
        packaging.get_central_skills_dir()


@pytest.mark.parametrize("bad_root", [object(), 42, b"bytes"])
def test_odd_roots_raise_instead_of_crashing(bad_root):
    with pytest.raises((AttributeError, TypeError)):
        packaging.list_template_dirs(bad_root)


@pytest.mark.slow
def test_location_functions_do_not_leak(leak_check, monkeypatch, tmp_path):
    root = make_dirs(tmp_path / "t", "a", "b")
    leak_check(packaging.get_central_skills_dir)
    leak_check(packaging.get_builtin_templates_dir)
    leak_check(packaging.list_template_dirs, root)
    leak_check(packaging.list_template_dirs, root / "missing")
    leak_check(packaging.list_template_dirs, object(), expect=AttributeError)
    monkeypatch.setattr(packaging.sys, "_MEIPASS", str(tmp_path), raising=False)
    leak_check(packaging.get_builtin_templates_dir)
    windows_sys(monkeypatch)
    leak_check(packaging.get_central_skills_dir)

"""The interface check: the project's own files agree, and each way of
falling out of step on one side only is caught."""
from __future__ import annotations

import importlib.util
import os
import shutil
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[3]
_spec = importlib.util.spec_from_file_location("check_interfaces", ROOT / "ros2" / "check_interfaces.py")
assert _spec and _spec.loader
check = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(check)
VERSION = os.environ.get("MOK_PROJECT_VERSION", "")


@pytest.fixture
def tree(tmp_path: Path) -> Path:
    shutil.copytree(ROOT / "ros2" / "mok_interfaces", tmp_path / "pkg")
    shutil.copy(ROOT / "tools" / "bridge" / "ros2_types.idl", tmp_path / "types.idl")
    return tmp_path


def problems(tree: Path, version: str = VERSION) -> list[str]:
    return check.mismatches(tree / "pkg" / "msg", tree / "types.idl", tree / "pkg" / "package.xml", version)


def edit(path: Path, old: str, new: str) -> None:
    text = path.read_text()
    assert old in text
    path.write_text(text.replace(old, new, 1))


def test_the_project_files_agree(tree: Path) -> None:
    assert problems(tree) == []


@pytest.mark.parametrize("file, old, new, says", [
    ("pkg/msg/Seam.msg", "float32 width", "float64 width", "Seam:"),            # retyped
    ("types.idl", "float height;\n    float angle;", "float angle;\n    float height;", "Seam:"),  # reordered
    ("pkg/msg/Segment.msg", "geometry_msgs/Point c       # middle\n", "", "Segment:"),  # dropped
    ("types.idl", "seam_points[8]", "seam_points[4]", "Seam:"),                 # array size
    ("types.idl", "sequence<mok_interfaces", "sequence<geometry_msgs", "Seam:"),  # element type
    ("types.idl", "struct Segment_", "struct Piece_", "Segment.msg has no struct"),
    ("pkg/package.xml", "<version>", "<version>0.", "version"),
])
def test_a_change_on_one_side_only_is_caught(tree: Path, file: str, old: str, new: str, says: str) -> None:
    edit(tree / file, old, new)
    found = problems(tree)
    assert any(says in p for p in found), found


def test_array_forms_translate_to_idl() -> None:
    assert check.msg_fields("uint8[] data\nint32[<=4] few\nbyte[3] fixed  # c\nint32 K=3") == [
        ("data", "sequence<octet>"), ("few", "sequence<long, 4>"), ("fixed[3]", "octet")]

#!/usr/bin/python3
"""Checks that the ROS 2 interface package and mok-bridge's DDS types agree.

The bridge publishes our messages through types written by hand in IDL
(tools/bridge/ros2_types.idl); ROS 2 subscribers decode them with the types
rosidl generates from ros2/mok_interfaces/msg/*.msg. A field added, dropped,
reordered or retyped on one side only still builds and runs, and breaks
every subscriber on the wire; so the build compares the two here, field by
field, and also holds the package's version to the project's.

usage: check_interfaces.py MSG_DIR IDL PACKAGE_XML VERSION
"""
from __future__ import annotations

import re
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

PACKAGE = "mok_interfaces"
# ROS 2's primitive types as its DDS layers write them in IDL.
PRIMITIVES = {
    "bool": "boolean", "byte": "octet", "char": "octet", "int8": "int8", "uint8": "octet",
    "int16": "short", "uint16": "unsigned short", "int32": "long", "uint32": "unsigned long",
    "int64": "long long", "uint64": "unsigned long long", "float32": "float", "float64": "double",
    "string": "string",
}


def idl_type_of(msg_type: str) -> str:
    """The IDL spelling of one .msg element type (no array suffix)."""
    if msg_type in PRIMITIVES:
        return PRIMITIVES[msg_type]
    package, _, name = msg_type.rpartition("/")
    return f"{package or PACKAGE}::msg::dds_::{name}_"


def msg_fields(text: str) -> list[tuple[str, str]]:
    """(name, IDL type) of each field of a .msg file, in order; constants
    and comments are skipped. Arrays: T[N] is a fixed array (name[N]), T[]
    and T[<=N] sequences."""
    fields = []
    for line in text.splitlines():
        line = line.split("#", 1)[0].strip()
        if not line or re.match(r"\S+\s+\w+\s*=", line):  # empty, or a constant
            continue
        type_, name = line.split()[:2]
        m = re.fullmatch(r"([\w/]+)(?:\[(<=)?(\d*)\])?", type_)
        if not m:
            raise ValueError(f"unreadable field type {type_!r}")
        base, bounded, size = idl_type_of(m.group(1)), m.group(2), m.group(3)
        if "[" not in type_:
            fields.append((name, base))
        elif size and not bounded:
            fields.append((f"{name}[{size}]", base))
        else:
            fields.append((name, f"sequence<{base}, {size}>" if size else f"sequence<{base}>"))
    return fields


def idl_structs(text: str) -> dict[str, list[tuple[str, str]]]:
    """Fields of each struct in the package's module of the IDL, by message
    name (the struct's name without its trailing underscore)."""
    text = re.sub(r"//[^\n]*", "", text)
    start = re.search(r"module\s+" + PACKAGE + r"\s*\{", text)
    if not start:
        raise ValueError(f"no module {PACKAGE}")
    depth, end = 1, start.end()
    while depth:
        depth += {"{": 1, "}": -1}.get(text[end], 0)
        end += 1
    body = text[start.end():end]
    structs = {}
    for m in re.finditer(r"struct\s+(\w+)_\s*\{(.*?)\}\s*;", body, re.S):
        fields = []
        for decl in filter(None, (d.strip() for d in m.group(2).split(";"))):
            field = re.fullmatch(r"(.+?)\s+(\w+(?:\[\d+\])?)", " ".join(decl.split()))
            if not field:
                raise ValueError(f"unreadable field {decl!r} in struct {m.group(1)}_")
            type_, name = field.groups()
            fields.append((name, re.sub(r"\s*,\s*", ", ", type_)))
        structs[m.group(1)] = fields
    return structs


def first_difference(msg: list[tuple[str, str]], idl: list[tuple[str, str]], idl_name: str) -> str:
    for i, (m, d) in enumerate(zip(msg, idl)):
        if m != d:
            return f"field {i + 1} is {m[1]} {m[0]} in the .msg but {d[1]} {d[0]} in {idl_name}"
    return f"the .msg has {len(msg)} fields, {idl_name} {len(idl)}"


def mismatches(msg_dir: Path, idl: Path, package_xml: Path, version: str) -> list[str]:
    problems = []
    structs = idl_structs(idl.read_text())
    messages = {p.stem: msg_fields(p.read_text()) for p in sorted(msg_dir.glob("*.msg"))}
    for name in sorted(messages.keys() | structs.keys()):
        if name not in structs:
            problems.append(f"{name}.msg has no struct {name}_ in {idl.name}")
        elif name not in messages:
            problems.append(f"struct {name}_ in {idl.name} has no {name}.msg")
        elif messages[name] != structs[name]:
            problems.append(f"{name}: {first_difference(messages[name], structs[name], idl.name)}")
    found = ET.parse(package_xml).findtext("version")
    if found != version:
        problems.append(f"{package_xml.name} has version {found}, the project {version}")
    return problems


def main() -> int:
    if len(sys.argv) != 5:
        print(__doc__.rsplit("\n\n", 1)[-1], file=sys.stderr)
        return 2
    msg_dir, idl, package_xml, version = sys.argv[1:]
    problems = mismatches(Path(msg_dir), Path(idl), Path(package_xml), version)
    for p in problems:
        print(f"ROS 2 interfaces: {p}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Generates a C program that calls every exported function of the public
headers with null handles and null pointers and checks its neutral result.

Every `MOK_API` line of include/mok/*.h is one declaration. The expected
result follows from the return type (false, NULL, 0, or a negative status
for int32_t), except for the few functions in EXCEPTIONS whose documented
answer differs. A second pass calls each function that takes a handle we
can make, with a live handle and every other pointer null.

The generator refuses (exit status 1) a declaration it cannot call: a new
parameter or return type must be taught here, so no export goes unchecked.

    gen_null_sweep.py <include dir> <output .c> [<library version, e.g. 1.2.3>]

The library version comes from the build (the project's version), so the
expected answers of mok_version_str and mok_version_code follow it.
"""
import glob
import os
import re
import sys

DECL = re.compile(r"^MOK_API\s+(?P<ret>[^(]*?[\s*])(?P<name>mok_\w+)\s*\((?P<params>[^)]*)\)\s*;")

INTEGERS = {"int8_t", "int16_t", "int32_t", "int64_t", "uint8_t", "uint16_t", "uint32_t",
            "uint64_t", "size_t"}
FLOATS = {"float", "double"}
# Structures passed or returned by value, and how to read their neutral form.
BY_VALUE = {"mok_fxr_view_t": "r.data == NULL && r.len == 0"}
CALLBACK = re.compile(r"^mok_\w+_cb(_t)?$")

# Documented answers that are not the neutral value of the return type.
# kind: "eq" (C expression), "str" (static text), "new" (a fresh object to
# release with the named function).
EXCEPTIONS = {
    "mok_fxt_packet_new": ("new", "mok_fxt_packet_free"),         # length 0 is a valid packet
    "mok_fxt_packet_from_payload": ("new", "mok_fxt_packet_free"),
    "mok_fxr_builder_new": ("new", "mok_fxr_builder_free"),
    "mok_fxt_packet_kind": ("eq", "255"),
    "mok_fxt_version_code": ("eq", "65798u"),
    "mok_fxt_version_str": ("str", "1.1.6"),
    "mok_fxr_version": ("str", "1.1.0"),
    "mok_fxr_as_i32": ("eq", "0"),  # a converted value, not a status
    "mok_video_frame_linesize": ("eq", "0"),  # sizes, not statuses
    "mok_video_frame_width": ("eq", "0"),
    "mok_video_frame_height": ("eq", "0"),
    "mok_track_now_ns": ("eq", "r > 0"),  # a clock reading
    "mok_tracker_create": ("new", "mok_tracker_free"),  # NULL asks for the defaults
}

# Second pass: live handles, made once and released at the end.
FACTORIES = {
    "mok_client_t *": ("client", 'mok_connect("127.0.0.1:9")', "mok_close(client)"),
    "mok_fxt_packet_t *": ("packet", "mok_fxt_packet_new(8, 0, 0, 1)", "mok_fxt_packet_free(packet)"),
    "const mok_fxt_packet_t *": ("packet", None, None),
    "mok_fxr_builder_t *": ("builder", "mok_fxr_builder_new()", "mok_fxr_builder_free(builder)"),
    "const mok_fxr_builder_t *": ("builder", None, None),
    "const mok_fxr_view_t *": ("&view", None, None),
    "const mok_fxr_entry_t *": ("&entry", None, None),
    "mok_fxr_iter_t *": ("iter", "mok_fxr_iter_new(view)", "mok_fxr_iter_free(iter)"),
    "mok_fxt_conn_t *": ("conn", 'mok_fxt_conn_new("127.0.0.1:9", on_packet, on_state)',
                         "mok_fxt_conn_free(conn)"),
}
# Second-pass answers documented to differ from the neutral value.
EXCEPTIONS_LIVE = {
    "mok_fxt_packet_payload_ptr": ("eq", "r != NULL"),  # the length out-pointer is optional
    "mok_fxt_packet_set_payload": ("eq", "r == true"),  # NULL bytes with length 0 change nothing
    "mok_fxt_packet_payload_copy": ("eq", "r == 0"),
}
# Functions that release or give up their handle: never called in pass two.
RELEASERS = re.compile(r"_free$|^mok_close$|^mok_fxt_disconnect$|^mok_fxt_conn_shutdown$")


def norm(t):
    t = re.sub(r"\s+", " ", t.strip())
    return re.sub(r"\s*\*", " *", t).replace("* *", "**")


def parse_params(params, where):
    params = params.strip()
    if params in ("", "void"):
        return []
    out = []
    for p in params.split(","):
        m = re.match(r"^(.*?)(\w+)$", p.strip())
        if not m or not m.group(1).strip():
            sys.exit(f"{where}: cannot read parameter '{p.strip()}'")
        out.append(norm(m.group(1)))
    return out


def zero_arg(t, where):
    if t.endswith("*"):
        return "NULL"
    if t in INTEGERS:
        return "0"
    if t in FLOATS:
        return "0.0"
    if t == "bool":
        return "false"
    if t in BY_VALUE:
        return f"zero_{t}"
    if CALLBACK.match(t):
        return "NULL"
    sys.exit(f"{where}: no null or zero value known for parameter type '{t}'")


def check_for(name, ret, where, exceptions):
    """C statements that call `name` (the call text is put in CALL) and check r."""
    if name in exceptions:
        kind, arg = exceptions[name]
        if kind == "eq":
            cond = arg if ("r " in arg or "r!" in arg) else f"r == {arg}"
            return f"{{ {ret} r = CALL; CHECK({cond}); }}"
        if kind == "str":
            return f'{{ {ret} r = CALL; CHECK(r != NULL && strcmp(r, "{arg}") == 0); }}'
        if kind == "new":
            return f"{{ {ret} r = CALL; CHECK(r != NULL); {arg}(r); }}"
    if ret == "void":
        return "CALL;"
    if ret.endswith("*"):
        return f"{{ {ret} r = CALL; CHECK(r == NULL); }}"
    if ret == "bool":
        return "{ bool r = CALL; CHECK(r == false); }"
    if ret == "int32_t":
        return "{ int32_t r = CALL; CHECK(r < 0); }"
    if ret in INTEGERS:
        return f"{{ {ret} r = CALL; CHECK(r == 0); }}"
    if ret in FLOATS:
        return f"{{ {ret} r = CALL; CHECK(r == 0.0); }}"
    if ret in BY_VALUE:
        return f"{{ {ret} r = CALL; CHECK({BY_VALUE[ret]}); }}"
    sys.exit(f"{where}: no neutral result known for return type '{ret}'")


def main():
    include_dir, out_path = sys.argv[1], sys.argv[2]
    if len(sys.argv) > 3:
        major, minor, patch = (int(x) for x in sys.argv[3].split("."))
        EXCEPTIONS["mok_version_str"] = ("str", sys.argv[3])
        EXCEPTIONS["mok_version_code"] = ("eq", f"{(major << 24) | (minor << 16) | patch}u")
    decls = []
    headers = sorted(glob.glob(os.path.join(include_dir, "*.h")))
    for h in headers:
        with open(h, encoding="utf-8") as f:
            lines = f.readlines()
        for lineno, line in enumerate(lines, 1):
            if not line.startswith("MOK_API"):
                continue
            where = f"{os.path.basename(h)}:{lineno}"
            # A declaration may be wrapped over several lines: join up to its ';'.
            k = lineno
            while ";" not in line and k < len(lines):
                line = line.rstrip("\n") + " " + lines[k].strip()
                k += 1
            m = DECL.match(line)
            if not m:
                sys.exit(f"{where}: cannot read declaration: {line.strip()}")
            decls.append((m.group("name"), norm(m.group("ret")),
                          parse_params(m.group("params"), where), where))
    if not decls:
        sys.exit(f"no MOK_API declarations under {include_dir}")

    body = []
    for name, ret, params, where in decls:
        call = f"{name}({', '.join(zero_arg(t, where) for t in params)})"
        body.append(f'  current = "{name}";\n  ' + check_for(name, ret, where, EXCEPTIONS).replace("CALL", call))

    live = []
    for name, ret, params, where in decls:
        if not params or params[0] not in FACTORIES or RELEASERS.search(name):
            continue
        others = params[1:]
        if not any(t.endswith("*") or CALLBACK.match(t) for t in others):
            continue  # nothing null to pass beyond the handle
        handle = FACTORIES[params[0]][0]
        args = [handle] + [zero_arg(t, where) for t in others]
        call = f"{name}({', '.join(args)})"
        live.append(f'  current = "{name} (live handle)";\n  '
                    + check_for(name, ret, where, EXCEPTIONS_LIVE).replace("CALL", call))

    # After every declaration was read and called, so a refusal names the
    # declaration rather than the entries it makes stale.
    names = {d[0] for d in decls}
    for table in (EXCEPTIONS, EXCEPTIONS_LIVE):
        stale = sorted(set(table) - names)
        if stale:
            sys.exit(f"exceptions name functions no header declares: {', '.join(stale)}")

    makers = {}
    for t, (var, make, free) in FACTORIES.items():
        if make:
            makers[var] = (t, make, free)

    headers_inc = "\n".join(f'#include "mok/{os.path.basename(h)}"' for h in headers)
    zero_vals = "\n".join(f"static {t} zero_{t};" for t in BY_VALUE)
    decl_makers = "\n".join(f"  {t} {var} = {make};" for var, (t, make, _) in makers.items())
    check_makers = "\n".join(
        f'  if ({var} == NULL) {{ fprintf(stderr, "cannot make a {var}\\n"); return 2; }}'
        for var in makers)
    free_makers = "\n".join(f"  {free};" for _, (_, _, free) in reversed(list(makers.items())))

    src = f"""/* Generated by gen_null_sweep.py from the public headers; do not edit. */
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

{headers_inc}

static const char *current = "";
static int failures = 0;
static int checks = 0;
#define CHECK(cond)                                                   \\
  do {{                                                                \\
    ++checks;                                                         \\
    if (!(cond)) {{                                                    \\
      ++failures;                                                     \\
      fprintf(stderr, "%s: expected %s\\n", current, #cond);            \\
    }}                                                                 \\
  }} while (0)

{zero_vals}

static void on_packet(mok_fxt_packet_t *packet) {{ (void)packet; }}
static void on_state(uint32_t state) {{ (void)state; }}

static void null_pass(void) {{
{chr(10).join(body)}
}}

int main(void) {{
  static const uint8_t record[] = {{0, 2, 1, 0, 0x2A, 0, 0, 0}};
  mok_fxr_view_t view;
  mok_fxr_entry_t entry;
  null_pass();
  view.data = record;
  view.len = sizeof record;
  entry.id = 1;
  entry.data = record + 4;
  entry.len = 4;
{decl_makers}
{check_makers}
{chr(10).join(live)}
{free_makers}
  printf("%d functions, %d checks, %d failed\\n", {len(decls)}, checks, failures);
  return failures == 0 ? 0 : 1;
}}
"""
    with open(out_path, "w", encoding="utf-8") as f:
        f.write(src)


if __name__ == "__main__":
    main()

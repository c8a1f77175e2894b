#!/usr/bin/env python3
"""Writes what is made from the tables of include/hvpelk/exports.h, run by CMake at build time:

  exports.py def HEADER OUT            the DLL's export list (hvpelk.def)
  exports.py nsis HEADER TEMPLATE VERSION OUT
                                       the NSIS include (hvpelk.nsh) from include/nsis/hvpelk.nsh.in

The header is the one place the functions, their parameters, the status codes and the flags are written;
everything here is read from its PELK_EXPORT_TABLE, PELK_STATUS_TABLE and PELK_FLAG_ defines. A table this
script cannot read, or a template that places a function twice or not at all, fails the build."""

import re
import sys


class TableError(Exception):
    pass


def macro_body(header, name):
    """The text of a multi-line #define, its continuations joined and its comments dropped."""
    start = header.find(f"#define {name}(X)")
    if start < 0:
        raise TableError(f"exports.h has no {name}")
    lines = []
    for line in header[start:].splitlines():
        lines.append(line.rstrip().rstrip("\\"))
        if not line.rstrip().endswith("\\"):
            break
    return re.sub(r"/\*.*?\*/", "", " ".join(lines))


def read_statuses(header):
    """[(name, value, meaning)] of PELK_STATUS_TABLE; value as 0x plus eight upper-case digits."""
    rows = re.findall(r'X\((PELK_[A-Z0-9_]+), (0x[0-9a-fA-F]{8}), "((?:[^"\\]|\\.)*)"\)',
                      macro_body(header, "PELK_STATUS_TABLE"))
    if len(rows) < 50:
        raise TableError(f"PELK_STATUS_TABLE: only {len(rows)} rows read")
    return [(name, "0x" + value[2:].upper(), meaning) for name, value, meaning in rows]


def read_flags(header):
    """[(name, value, meaning)] of the PELK_FLAG_ defines."""
    flags = re.findall(r"^#define (PELK_FLAG_[A-Z_]+) +(0x[0-9a-fA-F]+) +/\* ([^*]*) \*/$", header, re.M)
    if not any(name == "PELK_FLAG_VERIFY_CHECKSUM" for name, _, _ in flags):
        raise TableError("the PELK_FLAG_ defines were not found")
    return flags


# The parameter types of the export table and how NSIS's System::Call passes each: an input taken from the
# stack ("s"), or an output into a register.
INPUTS = {"int32_t": "i", "const wchar_t*": "w"}
OUTPUTS = {"int32_t*": "*i", "uint64_t*": "*l"}
TEXT = "VARIANT*"


class Export:
    def __init__(self, name, parameters):
        self.name = name
        self.parameters = parameters  # [(type, name)]

    def is_text_getter(self):
        return [t for t, _ in self.parameters] == ["int32_t", "int32_t", TEXT]


def read_exports(header):
    """[Export] of PELK_EXPORT_TABLE, in its order."""
    exports = []
    for name, parameters in re.findall(r"X\((Pelk[A-Za-z]+),\s*\(([^()]*)\)\)",
                                       macro_body(header, "PELK_EXPORT_TABLE")):
        parsed = []
        for parameter in parameters.split(","):
            match = re.fullmatch(r"\s*((?:const )?[A-Za-z0-9_]+\s*\*?)\s*([A-Za-z0-9_]+)\s*", parameter)
            if not match:
                raise TableError(f"{name}: cannot read the parameter '{parameter.strip()}'")
            parsed.append((re.sub(r"\s*\*", "*", match[1].strip()), match[2]))
        exports.append(Export(name, parsed))
    if len(exports) != 25:
        raise TableError(f"PELK_EXPORT_TABLE: {len(exports)} rows read, 25 expected")
    return exports


def write_def(exports):
    return "LIBRARY hvpelk.dll\nEXPORTS\n" + "".join(f"  {e.name}\n" for e in exports)


# ---- NSIS ----

def upper_snake(name):
    """timeLimitMs -> TIME_LIMIT_MS: the names of a macro's arguments."""
    return re.sub(r"(?<=[a-z0-9])(?=[A-Z])", "_", name).upper()


def nsis_call(export):
    """The macro's arguments (inputs, then outputs, then the status), the System::Call signature of the
    export and the registers of its outputs. The status goes to $0, the outputs to $1 on; an int32_t named
    "ignored" is passed as 0 and is no argument of the macro."""
    inputs, outputs, signature = [], [], []
    for ctype, name in export.parameters:
        if ctype == "int32_t" and name == "ignored":
            signature.append("i 0")
        elif ctype in INPUTS:
            inputs.append(upper_snake(name))
            signature.append(f"{INPUTS[ctype]} s")
        elif ctype in OUTPUTS:
            outputs.append(upper_snake(name))
            signature.append(f"{OUTPUTS[ctype]} .r{len(outputs)}")
        else:
            raise TableError(f"{export.name}: no NSIS form for a parameter of type {ctype}")
    if len(outputs) > 9:
        raise TableError(f"{export.name}: more outputs than registers")
    return inputs, outputs, ", ".join(signature)


def nsis_macro(export):
    """!define NAME and its macro: inputs pushed last first, so that the first is on top for the "s" of
    the signature; the outputs and the status come back through the stack around System::Store."""
    inputs, outputs, signature = nsis_call(export)
    arguments = " ".join(f"_{a}" for a in inputs + outputs + ["STATUS"])
    lines = [f"!define {export.name} `!insertmacro _{export.name}`",
             f"!macro _{export.name} {arguments}"]
    lines += [f"  Push `${{_{a}}}`" for a in reversed(inputs)]
    if not outputs:
        lines.append(f'  !insertmacro _PelkCall {export.name} "{signature}" `${{_STATUS}}`')
    else:
        lines += ['  System::Store "s"',
                  f"  System::Call 'hvpelk::{export.name}({signature}) i .r0 ?c'",
                  "  Push $0"]
        lines += [f"  Push ${i}" for i in range(len(outputs), 0, -1)]
        lines.append('  System::Store "l"')
        lines += [f"  Pop `${{_{a}}}`" for a in outputs]
        lines.append("  Pop `${_STATUS}`")
    lines.append("!macroend")
    return "\n".join(lines), inputs + [f"OUT_{a}" for a in outputs] + ["OUT_STATUS"]


def nsis_text_macros(getters):
    """A define per text getter, all over one macro."""
    lines = [f"!define {g.name} `!insertmacro _PelkGetText {g.name}`" for g in getters]
    lines += ["; The VARIANT (16 bytes, initialised empty) lives for the one call: its BSTR is copied out, then",
              "; VariantClear frees it and System::Free the VARIANT.",
              "!macro _PelkGetText _FUNCTION _HANDLE _INDEX _TEXT _STATUS",
              "  Push `${_INDEX}`",
              "  Push `${_HANDLE}`",
              '  System::Store "s"',
              "  Pop $0",
              "  Pop $1",
              "  System::Alloc 16",
              "  Pop $2",
              "  System::Call 'oleaut32::VariantInit(p r2)'",
              "  System::Call 'hvpelk::${_FUNCTION}(i r0, i r1, p r2) i .r3 ?c'",
              '  StrCpy $4 ""',
              "  System::Call '*$2(&i2 .r5, &v6, p .r6)'",
              "  ${If} $5 = 8  ; VT_BSTR",
              "  ${AndIf} $6 P<> 0",
              "    System::Call 'kernel32::lstrcpynW(w .r4, p r6, i ${NSIS_MAX_STRLEN})'",
              "  ${EndIf}",
              "  System::Call 'oleaut32::VariantClear(p r2)'",
              "  System::Free $2",
              "  Push $3",
              "  Push $4",
              '  System::Store "l"',
              "  Pop `${_TEXT}`",
              "  Pop `${_STATUS}`",
              "!macroend"]
    return "\n".join(lines)


def write_nsis(header, template, version):
    """The template with its placeholders filled in:
      @PROJECT_VERSION@, @PELK_STATUS_DEFINES@, @PELK_FLAG_DEFINES@, @PELK_STATUS_NAMES@;
      @PELK_MACRO NAME@   on a line of its own: the macro of one export, below its comment, whose usage line
                          ("; ${NAME} ARGUMENTS...:") must name the macro's arguments;
      @PELK_TEXT_MACROS@  the macros of every text getter (handle, index, VARIANT*);
      @PELK_SIGNATURE NAME@  the System::Call signature of one export.
    Every export must be placed once, by a macro or among the text getters."""
    statuses = read_statuses(header)
    exports = read_exports(header)
    by_name = {e.name: e for e in exports}
    text = template.replace("@PROJECT_VERSION@", version)
    text = text.replace("@PELK_STATUS_DEFINES@",
                        "".join(f"!define {n} {v} ; {m}\n" for n, v, m in statuses))
    text = text.replace("@PELK_FLAG_DEFINES@", "".join(f"!define {n} {v} ; {m}\n" for n, v, m in read_flags(header)))
    text = text.replace("@PELK_STATUS_NAMES@",
                        "".join(f"  StrCmp $0 {v} 0 +2\n  StrCpy $1 {n}\n" for n, v, _ in statuses))

    placed = []
    lines = text.split("\n")
    for i, line in enumerate(lines):
        match = re.fullmatch(r"@PELK_MACRO (\w+)@", line)
        if not match:
            continue
        export = by_name.get(match[1])
        if export is None:
            raise TableError(f"template: {match[1]} is no export")
        macro, usage = nsis_macro(export)
        documented = None
        for above in reversed(lines[:i]):
            if not above.startswith(";"):
                break
            found = re.match(r"; \$\{" + export.name + r"\}((?: [A-Z_]+)*)", above)
            if found:
                documented = found[1].split()
        if documented != usage:
            raise TableError(f"template: the comment above {export.name} must name its arguments: "
                             f"; ${{{export.name}}} {' '.join(usage)}")
        lines[i] = macro
        placed.append(export.name)
    text = "\n".join(lines)
    if "@PELK_TEXT_MACROS@" in text:
        getters = [e for e in exports if any(t == TEXT for t, _ in e.parameters)]
        for g in getters:
            if not g.is_text_getter():
                raise TableError(f"{g.name}: a text result other than (handle, index, VARIANT*)")
        text = text.replace("@PELK_TEXT_MACROS@", nsis_text_macros(getters))
        placed += [g.name for g in getters]
    text = re.sub(r"@PELK_SIGNATURE (\w+)@", lambda m: nsis_call(by_name[m[1]])[2], text)

    twice = sorted({n for n in placed if placed.count(n) > 1})
    missing = [e.name for e in exports if e.name not in placed]
    if twice or missing:
        raise TableError(f"template: placed twice: {twice or 'none'}; without a macro: {missing or 'none'}")
    left = re.findall(r"@[A-Z_]+(?: \w+)?@", text)
    if left:
        raise TableError(f"template: unknown placeholders {left}")
    return text


def main(argv):
    try:
        if len(argv) == 4 and argv[1] == "def":
            with open(argv[2], encoding="utf-8") as f:
                result, out = write_def(read_exports(f.read())), argv[3]
        elif len(argv) == 6 and argv[1] == "nsis":
            with open(argv[2], encoding="utf-8") as f, open(argv[3], encoding="utf-8") as t:
                result, out = write_nsis(f.read(), t.read(), argv[4]), argv[5]
        else:
            sys.exit(__doc__)
    except (TableError, KeyError) as error:
        sys.exit(f"exports.py: {error}")
    with open(out, "w", encoding="utf-8", newline="\n") as f:
        f.write(result)


if __name__ == "__main__":
    main(sys.argv)

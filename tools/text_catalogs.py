#!/usr/bin/env python3
"""Checks the translators' catalogs against the texts the sources use, and
writes them as C++ tables that both programs carry.

  text_catalogs.py [--msgfmt MSGFMT] --template TEMPLATE.pot --output Catalogs.cpp LANG.po...

A catalog fails the build when msgfmt --check refuses it, when a text of the
template has no translation (empty or fuzzy), when it translates a text the
template no longer has, or when a translation's {placeholders} differ from the
English text's. Each problem is printed as FILE:LINE: message.
"""

import argparse
import os
import re
import subprocess
import sys

PLACEHOLDER = re.compile(r"\{([A-Za-z_][A-Za-z0-9_]*)\}")
ESCAPES = {"n": "\n", "t": "\t", '"': '"', "\\": "\\"}


class Entry:
    def __init__(self, line):
        self.line = line
        self.msgid = None
        self.msgstr = None
        self.flags = set()
        self.obsolete = False


def unquote(text, where):
    if len(text) < 2 or text[0] != '"' or text[-1] != '"':
        raise SystemExit(f"{where}: expected a quoted string")
    body = text[1:-1]
    out = []
    i = 0
    while i < len(body):
        if body[i] == "\\" and i + 1 < len(body):
            if body[i + 1] not in ESCAPES:
                raise SystemExit(f"{where}: unsupported escape \\{body[i + 1]}")
            out.append(ESCAPES[body[i + 1]])
            i += 2
        else:
            out.append(body[i])
            i += 1
    return "".join(out)


def read_po(path):
    """The entries of a PO file; plural forms and contexts are refused (no text uses them)."""
    entries = []
    current = None
    field = None
    with open(path, encoding="utf-8") as po:
        for number, raw in enumerate(po, 1):
            line = raw.strip()
            where = f"{path}:{number}"
            if not line:
                current, field = None, None
                continue
            if current is None:
                current = Entry(number)
                entries.append(current)
            if line.startswith("#~"):
                current.obsolete = True
                continue
            if line.startswith("#,"):
                current.flags.update(flag.strip() for flag in line[2:].split(","))
                continue
            if line.startswith("#"):
                continue
            if line.startswith(("msgctxt", "msgid_plural", "msgstr[")):
                raise SystemExit(f"{where}: contexts and plural forms are not used by this program")
            if line.startswith("msgid "):
                field = "msgid"
                current.msgid = unquote(line[6:], where)
            elif line.startswith("msgstr "):
                field = "msgstr"
                current.msgstr = unquote(line[7:], where)
            elif line.startswith('"') and field:
                setattr(current, field, getattr(current, field) + unquote(line, where))
            else:
                raise SystemExit(f"{where}: cannot read this line")
    return [e for e in entries if e.msgid is not None and not e.obsolete]


def check_catalog(path, template_ids, msgfmt):
    problems = []
    result = subprocess.run([msgfmt, "--check", "-o", os.devnull, path], capture_output=True, text=True)
    if result.returncode != 0:
        problems.append(result.stderr.strip())
    translations = {}
    seen = set()
    for entry in read_po(path):
        if entry.msgid == "":
            continue
        seen.add(entry.msgid)
        where = f"{path}:{entry.line}"
        if entry.msgid not in template_ids:
            problems.append(f"{where}: translates a text the program no longer uses: {entry.msgid!r}")
            continue
        if not entry.msgstr or "fuzzy" in entry.flags:
            problems.append(f"{where}: no translation for {entry.msgid!r}")
            continue
        english = sorted(PLACEHOLDER.findall(entry.msgid))
        translated = sorted(PLACEHOLDER.findall(entry.msgstr))
        if english != translated:
            problems.append(f"{where}: placeholders {translated} differ from the English {english}")
            continue
        translations[entry.msgid] = entry.msgstr
    for missing in sorted(template_ids - seen):
        problems.append(f"{path}: no entry for {missing!r}")
    return translations, problems


def cpp_literal(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n").replace("\t", "\\t") + '"'


def language_of(path):
    return os.path.splitext(os.path.basename(path))[0]


def write_cpp(path, catalogs):
    lines = [
        "// Written by tools/text_catalogs.py from resources/po; edit the catalogs, not this file.",
        '#include "resources/Catalogs.h"',
        "",
        "namespace {",
        "",
    ]
    for language, translations in catalogs:
        lines.append(f"constexpr TranslatedText k_{language}[] = {{")
        for english in sorted(translations, key=lambda text: text.encode("utf-8")):
            lines.append(f"    {{{cpp_literal(english)}, {cpp_literal(translations[english])}}},")
        lines.append("};")
        lines.append("")
    lines.append("constexpr TextCatalog kCatalogs[] = {")
    for language, _ in catalogs:
        lines.append(f'    {{"{language}", k_{language}}},')
    lines += ["};", "", "}  // namespace", "", "std::span<const TextCatalog> TextCatalogs() { return kCatalogs; }", ""]
    text = "\n".join(lines)
    # Unchanged output keeps its time stamp, so nothing that includes it is rebuilt.
    if os.path.exists(path):
        with open(path, encoding="utf-8") as old:
            if old.read() == text:
                return
    with open(path, "w", encoding="utf-8") as out:
        out.write(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--template", required=True, help="the .pot the sources' texts were extracted to")
    parser.add_argument("--output", required=True, help="the C++ source to write")
    parser.add_argument("--msgfmt", default="msgfmt", help="gettext's msgfmt, for its format checks")
    parser.add_argument("catalogs", nargs="+", help="one .po per language, named after the language")
    arguments = parser.parse_args()

    template_ids = {entry.msgid for entry in read_po(arguments.template) if entry.msgid}
    catalogs = []
    problems = []
    for path in arguments.catalogs:
        translations, found = check_catalog(path, template_ids, arguments.msgfmt)
        catalogs.append((language_of(path), translations))
        problems += found
    if problems:
        print("\n".join(problems), file=sys.stderr)
        return 1
    write_cpp(arguments.output, catalogs)
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Checks the API reference that Doxygen wrote (cmake --build BUILD --target
reference): it fails on any warning in its log (a public declaration
without documentation, a command Doxygen cannot read, a parameter that does
not exist), and on a function of the C interface whose entry lacks one of
the sections docs/reference.md promises.

  check-reference.py REFERENCE_DIR [--c-interface HEADER]...

It also fails on a header without a file description: Doxygen documents
(and warns about) a file's global functions, macros and types only when the
file itself is documented, so an undocumented header would hide them.

--c-interface names a header (as the reference names it, e.g.
include/ynet.h) whose functions must each give: a brief description, every
parameter (@param), which threads may call (@threads), and the result: for
a function returning int32_t the list of its result codes (@retval, each a
YNET_* name or a number), else @return unless it returns nothing. An
example (@example_in) is given where one helps; when given, it must show
code.
"""

import argparse
import os
import re
import sys
import xml.etree.ElementTree as ElementTree

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# ---------------------------------------------------------------- set aside
# Public headers whose warnings are set aside: none. A header added here is
# a header whose declarations the reference does not check.
NOT_YET_DOCUMENTED = []


def warnings(log):
    """The log's warnings, each with its continuation lines, by file relative to the tree."""
    entries = []
    for line in open(log, encoding="utf-8", errors="replace").read().splitlines():
        found = re.match(r"^(/[^:]*):(\d+): (warning|error): ", line)
        if found or not entries:
            path = os.path.relpath(found.group(1), ROOT) if found else ""
            entries.append([path, line])
        else:
            entries[-1][1] += "\n" + line
    # Doxygen repeats some warnings once per output format.
    unique = []
    for entry in entries:
        if entry not in unique:
            unique.append(entry)
    return unique


def text(element):
    return "".join(element.itertext()).strip() if element is not None else ""


def check_c_interface(xml_dir, header):
    """The functions of header whose entries lack a section, with what they lack."""
    problems, functions = [], 0
    for name in os.listdir(xml_dir):
        if not name.endswith(".xml") or name == "index.xml":
            continue
        compound = ElementTree.parse(os.path.join(xml_dir, name)).getroot().find("compounddef")
        if compound is None or compound.get("kind") != "file" or compound.find("location").get("file") != header:
            continue
        for member in compound.iter("memberdef"):
            if member.get("kind") != "function":
                continue
            functions += 1
            lacks = []
            details = member.find("detaileddescription")
            if not text(member.find("briefdescription")):
                lacks.append("a brief description")
            documented = {text(name) for name in details.iter("parametername")}
            for param in member.findall("param"):
                declared = text(param.find("declname"))
                if declared and declared not in documented:
                    lacks.append(f"@param {declared}")
            kinds = {section.get("kind") for section in details.iter("simplesect")}
            titles = {text(section.find("title")) for section in details.iter("simplesect")
                      if section.get("kind") == "par"}
            codes = [text(name) for plist in details.iter("parameterlist") if plist.get("kind") == "retval"
                     for name in plist.iter("parametername")]
            returns = text(member.find("type"))
            if re.search(r"(^|\s)int32_t$", returns):
                if not codes:
                    lacks.append("its result codes (@retval)")
                bad = [code for code in codes if not re.fullmatch(r"YNET_[A-Z_]+|-?\d+", code)]
                if bad:
                    lacks.append(f"result codes by name ({', '.join(bad)} is not a YNET_* code or a number)")
            elif returns != "void" and "return" not in kinds:
                lacks.append("@return")
            if "Threads" not in titles:
                lacks.append("@threads")
            if "Example" in titles and details.find(".//programlisting") is None:
                lacks.append("the code of its @example_in (an empty snippet?)")
            if lacks:
                problems.append(f"{header}:{member.find('location').get('line')}: {text(member.find('name'))} "
                                f"lacks {', '.join(lacks)}")
    if functions == 0:
        problems.append(f"{header}: no function found in the reference")
    return problems


def undocumented_files(xml_dir):
    """The headers of the reference without a file description, and the count of headers."""
    problems, headers = [], 0
    for name in sorted(os.listdir(xml_dir)):
        if not name.endswith(".xml") or name == "index.xml":
            continue
        compound = ElementTree.parse(os.path.join(xml_dir, name)).getroot().find("compounddef")
        if compound is None or compound.get("kind") != "file":
            continue
        path = compound.find("location").get("file")
        if not path.endswith((".h", ".hpp")) or path in NOT_YET_DOCUMENTED:
            continue
        headers += 1
        if not text(compound.find("briefdescription")) and not text(compound.find("detaileddescription")):
            problems.append(f"{path}: the file has no description (@file), so its global declarations go unchecked")
    return problems, headers


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("reference")
    parser.add_argument("--c-interface", action="append", default=[])
    args = parser.parse_args()
    log = os.path.join(args.reference, "warnings.log")
    if not os.path.isfile(os.path.join(args.reference, "html", "index.html")) or not os.path.isfile(log):
        print(f"no reference in {args.reference} (html/index.html, warnings.log)")
        return 1
    found = warnings(log)
    kept = [entry for path, entry in found if path not in NOT_YET_DOCUMENTED]
    undescribed, headers = undocumented_files(os.path.join(args.reference, "xml"))
    problems = list(kept) + undescribed
    for header in args.c_interface:
        problems += check_c_interface(os.path.join(args.reference, "xml"), header)
    for problem in problems:
        print(problem)
    set_aside = len(found) - len(kept)
    checked = f"; the C interface checked in {', '.join(args.c_interface)}" if args.c_interface else ""
    aside = f", {set_aside} warning(s) set aside in {len(NOT_YET_DOCUMENTED)} header(s)" if NOT_YET_DOCUMENTED else ""
    print(f"{len(problems)} problem(s) in {headers} public headers{aside}{checked}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

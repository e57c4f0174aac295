#!/usr/bin/env python3
"""The options the tools show are the options their docs describe.

QXInspect: the options of its --help, of its man page (SYNOPSIS and OPTIONS) and of
the README's QXInspect section are the same set. QXConvert: its usage text is a fixed
block that names only some options, so the set is the one its parser reads, the
option table in app/run.cpp; the man page (SYNOPSIS and OPTIONS) and the README's
"Options:" paragraph must name that set, and the usage text none outside it.

  scripts/check_options.py QXCONVERT QXINSPECT MAN_DIR SOURCE_DIR
"""
import re
import subprocess
import sys

# An option where it stands alone: not the hyphen inside a word ("uv-sets").
OPTION = re.compile(r"(?<![\w-])(--?[a-z][a-z0-9-]*=?)")


def options(text):
    # Short aliases (-h beside --help) are the parser's; the docs name the long form.
    return {o for o in OPTION.findall(text) if len(o) > 2 or o.startswith("--")}


def tool_output(args):
    run = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    return run.stdout


def man_sections(path, names):
    """The text of the named sections, with roff's escapes and font changes removed."""
    text, keep = [], False
    with open(path, encoding="utf-8") as page:
        for line in page:
            if line.startswith(".SH "):
                keep = line[4:].strip().strip('"') in names
                continue
            if keep:
                text.append(re.sub(r"\\f[BIRP]", "", line).replace("\\-", "-"))
    return "".join(text)


def readme_part(text, start, end):
    at = text.index(start)
    stop = text.find(end, at + len(start))
    return text[at:] if stop < 0 else text[at:stop]


def compare(failures, what, first, first_name, second, second_name):
    for option in sorted(first - second):
        failures.append(f"{what}: {option} is in {first_name} but not in {second_name}")
    for option in sorted(second - first):
        failures.append(f"{what}: {option} is in {second_name} but not in {first_name}")


def main():
    converter, inspector, man_dir, source_dir = sys.argv[1:5]
    with open(f"{source_dir}/README.md", encoding="utf-8") as f:
        readme = f.read()
    with open(f"{source_dir}/app/run.cpp", encoding="utf-8") as f:
        # Entries of the table: {"-name", OptionId::...
        table = set(re.findall(r'\{"(-[a-z][a-z-]*=?)", OptionId::', f.read()))
    failures = []

    usage = options(tool_output([converter]))
    convert_man = options(man_sections(f"{man_dir}/QXConvert.1", {"SYNOPSIS", "OPTIONS"}))
    convert_readme = options(readme_part(readme, "\nOptions:", "\n\n"))
    if not usage or not table:
        failures.append("QXConvert: no options found in its usage text or its option table")
    for option in sorted(usage - table):
        failures.append(f"QXConvert: {option} is in its usage text but not in its option table")
    compare(failures, "QXConvert", table, "the option table", convert_man, "the man page")
    compare(failures, "QXConvert", table, "the option table", convert_readme,
            "the README's Options paragraph")

    # The entries that run many conversions (app/jobs.cpp) are no options of a run, so
    # they stand in a section of their own; the man page and the README name each.
    with open(f"{source_dir}/app/jobs.cpp", encoding="utf-8") as f:
        entries = set(re.findall(r'args\[[12]\] [!=]= "(--[a-z_-]+)"', f.read()))
    with open(f"{man_dir}/QXConvert.1", encoding="utf-8") as f:
        whole_man = re.sub(r"\\f[BIRP]", "", f.read()).replace("\\-", "-")
    if not entries:
        failures.append("QXConvert: no entries found in app/jobs.cpp")
    for entry in sorted(entries):
        if not re.search(re.escape(entry) + r"(?![\w-])", whole_man):
            failures.append(f"QXConvert: {entry} is not in the man page")
        if not re.search(re.escape(entry) + r"(?![\w-])", readme):
            failures.append(f"QXConvert: {entry} is not in the README")

    help_text = options(tool_output([inspector, "--help"]))
    inspect_man = options(man_sections(f"{man_dir}/QXInspect.1", {"SYNOPSIS", "OPTIONS"}))
    inspect_readme = options(readme_part(readme, "\n## QXInspect\n", "\n## "))
    if not help_text:
        failures.append("QXInspect: no options found in its --help")
    compare(failures, "QXInspect", help_text, "--help", inspect_man, "the man page")
    compare(failures, "QXInspect", help_text, "--help", inspect_readme, "the README")

    for failure in failures:
        print(failure)
    if failures:
        return 1
    print(f"QXConvert: {len(table)} options, QXInspect: {len(help_text)} options, "
          "the same in the tools' texts, the man pages and the README")
    return 0


if __name__ == "__main__":
    sys.exit(main())

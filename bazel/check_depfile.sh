#!/bin/sh
# Runs one conversion, then checks that every file it read was declared as an input:
# a sandbox or a remote executor would hide an undeclared one, and Assimp would then
# carry on without it (an OBJ without its materials) and the asset would differ.
#   check_depfile.sh DEPFILE DECLARED_LIST -- QXCONVERT ARGS...
set -eu
depfile=$1
declared=$2
shift 3
"$@" > /dev/null || { "$@" 1>&2; exit 1; }
# The rule line "OUTPUT: INPUT...", read as Ninja and Make read what QXConvert writes:
# "$$" is '$'; '\#' and '\:' are '#' and ':'; 2N+1 backslashes before a space are N
# backslashes and a space, 2N are N and the end of the name; any other backslash is
# itself. One input per line out, none of them taken as a pattern.
awk '
function flush() { if (name != "") { if (target) target = 0; else print name }; name = "" }
{
  target = 1; name = ""
  for (i = 1; i <= length($0); i++) {
    c = substr($0, i, 1)
    if (c == "$" && substr($0, i + 1, 1) == "$") { name = name "$"; i++; continue }
    if (c == "\\") {
      n = 0
      while (substr($0, i + n, 1) == "\\") n++
      next_c = substr($0, i + n, 1)
      if (next_c == " ") {
        for (k = 0; k < int(n / 2); k++) name = name "\\"
        if (n % 2) name = name " "; else flush()
        i += n; continue
      }
      if (n == 1 && (next_c == "#" || next_c == ":")) { name = name next_c; i++; continue }
      for (k = 0; k < n; k++) name = name "\\"
      i += n - 1; continue
    }
    if (c == ":" && target && (i == length($0) || substr($0, i + 1, 1) == " ")) { name = ""; target = 0; continue }
    if (c == " ") { flush(); continue }
    name = name c
  }
  flush()
}' "$depfile" | while IFS= read -r input; do
  grep -qxF -- "$input" "$declared" ||
    { echo "QXConvert read $input, which is not declared: add it to deps" >&2; exit 1; }
done

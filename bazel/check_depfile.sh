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
# The rule line: "OUTPUT: INPUT..."; names here have no spaces (the rule refuses them).
for input in $(sed -e 's/^[^:]*: //' "$depfile"); do
  grep -qxF "$input" "$declared" ||
    { echo "QXConvert read $input, which is not declared: add it to deps" >&2; exit 1; }
done

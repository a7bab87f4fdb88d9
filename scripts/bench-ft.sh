#!/usr/bin/env bash
# The free-threading benchmark (benchmarks/freethreading.py): N Python threads
# against one, on the free-threaded CPython of scripts/freethreaded.sh
# (LINORA_FT_VENV, set up here when missing) and on the default build's
# environment (LINORA_VENV), in one run. Arguments (e.g. --quick) are passed
# on. Never fails on a timing.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"
bash scripts/setup.sh >/dev/null
ft_venv="${LINORA_FT_VENV:-$root/.venv-ft}"
if [ ! -x "$ft_venv/bin/python" ] || ! "$ft_venv/bin/python" -c 'import linora' 2>/dev/null; then
    prefix=$(bash scripts/ft-python.sh | tail -n 1)
    PIP_ONLY_BINARY=:all: LINORA_VENV="$ft_venv" LINORA_PYTHON="$prefix/bin/python3" \
        LINORA_REQUIREMENTS="$root/requirements-ft.txt" bash scripts/setup.sh >/dev/null
fi
echo "bench-ft: $(uptime)"
exec "$venv/bin/python" benchmarks/freethreading.py "$@" "$ft_venv/bin/python" "$venv/bin/python"

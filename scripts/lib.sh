# What the scripts share; sourced, not run, by every script and .ci/run:
#     . "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
# It sets `root` (the checkout) and `venv` (the virtual environment,
# LINORA_VENV or .venv) and changes no shell option and no directory. The
# LINORA_* variables are described in docs/DEVELOPING.md.
#
# apt_need PACKAGE..., apt_need_command COMMAND PACKAGE...,
# apt_need_file FILE PACKAGE..., apt_install_needed TAG
#     Note Debian packages to install (always, unless COMMAND is on the
#     PATH, unless FILE exists; in the array apt_needed), then install the
#     ones noted, if any, with apt_install.
# apt_install TAG PACKAGE...
#     Installs Debian packages with apt-get. As root directly, otherwise with
#     sudo when it needs no password; when neither works it prints one line
#     naming the packages to install and fails. When another apt-get or dpkg
#     holds the package lock it waits for it (LINORA_APT_WAIT seconds at most,
#     default 900), saying so, instead of failing at once.
# install_opencv TAG PYTHON
#     Makes OpenCV importable by PYTHON as opencv-contrib-python-headless
#     (OpenCV with its extra modules, among them the fast line detector the
#     benchmark compares with). opencv-python-headless is uninstalled first
#     when present: both install the same cv2 package and must never be
#     installed together.
# pip_need_module PYTHON MODULE PACKAGE..., pip_install_needed TAG PYTHON
#     Note Python packages to install unless PYTHON imports MODULE (in the
#     array pip_needed), then install the ones noted, if any, with pip.
# find_cpython VERSION...
#     Prints a CPython of the first of the minor versions given (e.g. 3.13)
#     that is found and can make virtual environments: on the PATH, in pyenv
#     (the newest patch release first), in /usr/local/bin or in /usr/bin.
#     Fails when there is none.
# cpp_tests DIR [CMAKE_ARG...] [-- GTEST_ARG...]
#     Configures the C++ unit tests in DIR (Ninja and CMake from $venv, the
#     extension left out), builds them with two jobs and runs them
#     (run_cpp_tests).
# run_cpp_tests DIR [GTEST_ARG...]
#     Runs the C++ unit tests built in DIR, under the command in the array
#     cpp_runner when it is set (an emulator). A --gtest_filter must select
#     at least one test: the number it selects is printed.
# check_markers PYTHON MARKER...
#     Fails unless each pytest marker is given to at least one test of
#     tests/python (collected by PYTHON with its own packages), so that a
#     selection with -m cannot miss its tests through a misspelt marker.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="${LINORA_VENV:-$root/.venv}"
cpp_runner=()
apt_needed=()
pip_needed=()

apt_need() { apt_needed+=("$@"); }

apt_need_command() {
    local command=$1
    shift
    command -v "$command" >/dev/null || apt_needed+=("$@")
}

apt_need_file() {
    local file=$1
    shift
    [ -e "$file" ] || apt_needed+=("$@")
}

apt_install_needed() {
    [ ${#apt_needed[@]} -eq 0 ] || apt_install "$1" "${apt_needed[@]}"
}

pip_need_module() {
    local py=$1 module=$2
    shift 2
    "$py" -c "import $module" 2>/dev/null || pip_needed+=("$@")
}

pip_install_needed() {
    [ ${#pip_needed[@]} -gt 0 ] || return 0
    echo "$1: installing ${pip_needed[*]}"
    "$2" -m pip install -q --disable-pip-version-check "${pip_needed[@]}"
}

# apt-get with the arguments given, retried while the package lock is held.
_apt_get_waiting() {
    local tag=$1
    shift
    local limit=${LINORA_APT_WAIT:-900} start=$SECONDS said="" out
    while :; do
        if out=$("${_apt_prefix[@]}" apt-get "$@" 2>&1); then
            [ -z "$said" ] || echo "$tag: the package lock is free again; apt-get went on"
            return 0
        fi
        if ! grep -q -e "Could not get lock" -e "Unable to acquire the dpkg frontend lock" \
            -e "Unable to lock directory" <<<"$out"; then
            printf '%s\n' "$out" >&2
            return 1
        fi
        if [ $((SECONDS - start)) -ge "$limit" ]; then
            printf '%s\n' "$out" >&2
            echo "$tag: gave up after waiting ${limit} s for the package lock (LINORA_APT_WAIT)" >&2
            return 1
        fi
        if [ -z "$said" ]; then
            local holder
            holder=$(grep -o -m1 "held by process [0-9]* ([^)]*)" <<<"$out" || true)
            echo "$tag: another apt-get or dpkg holds the package lock${holder:+ ($holder)};" \
                "waiting for it to finish (up to ${limit} s)"
            said=1
        fi
        sleep 3
    done
}

apt_install() {
    local tag=$1
    shift
    _apt_prefix=(env DEBIAN_FRONTEND=noninteractive)
    if [ "$(id -u)" != 0 ]; then
        if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
            _apt_prefix=(sudo -n env DEBIAN_FRONTEND=noninteractive)
        else
            echo "$tag: needs the Debian packages $*; install them as root" \
                "(apt-get install $*) and run this again" >&2
            return 1
        fi
    fi
    echo "$tag: installing Debian packages: $*"
    _apt_get_waiting "$tag" update -qq &&
        _apt_get_waiting "$tag" install -y -qq "$@"
}

_has_distribution() {
    "$1" -c 'import importlib.metadata as m, sys; m.version(sys.argv[1])' "$2" >/dev/null 2>&1
}

install_opencv() {
    local tag=$1 py=$2
    local pip=("$py" -m pip install -q --disable-pip-version-check)
    if _has_distribution "$py" opencv-python-headless; then
        echo "$tag: replacing opencv-python-headless with opencv-contrib-python-headless"
        "$py" -m pip uninstall -q -y opencv-python-headless
        # The two share their files: what the uninstall removed is put back.
        "${pip[@]}" --force-reinstall --no-deps opencv-contrib-python-headless
        "${pip[@]}" opencv-contrib-python-headless
    elif ! _has_distribution "$py" opencv-contrib-python-headless; then
        echo "$tag: installing opencv-contrib-python-headless"
        "${pip[@]}" opencv-contrib-python-headless
    fi
    "$py" -c 'import cv2, cv2.ximgproc' >/dev/null
}

find_cpython() {
    local v c
    for v in "$@"; do
        for c in "$(command -v "python$v" 2>/dev/null || true)" \
                 $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$v".*/bin/"python$v" 2>/dev/null | sort -V -r) \
                 /usr/local/bin/"python$v" /usr/bin/"python$v"; do
            if [ -n "$c" ] && [ -x "$c" ] && "$c" -c 'import venv, ensurepip' >/dev/null 2>&1; then
                echo "$c"
                return 0
            fi
        done
    done
    return 1
}

cpp_tests() {
    local dir=$1 cmake_args=()
    shift
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        cmake_args+=("$1")
        shift
    done
    [ $# -eq 0 ] || shift
    "$venv/bin/cmake" -S "$root" -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
        -DLINORA_BUILD_PYTHON=OFF -DLINORA_BUILD_TESTS=ON "${cmake_args[@]}" >/dev/null
    "$venv/bin/cmake" --build "$dir" -j2
    run_cpp_tests "$dir" "$@"
}

run_cpp_tests() {
    local dir=$1 arg listed
    shift
    for arg in "$@"; do
        case $arg in
        --gtest_filter=*)
            listed=$("${cpp_runner[@]}" "$dir/linora_tests" --gtest_list_tests "$arg")
            listed=$(grep -c '^  ' <<<"$listed" || true)
            if [ "$listed" -eq 0 ]; then
                echo "no C++ test matches ${arg#*=}" >&2
                return 1
            fi
            echo "C++ tests matching ${arg#*=}: $listed"
            ;;
        esac
    done
    "${cpp_runner[@]}" "$dir/linora_tests" --gtest_brief=1 "$@"
}

check_markers() {
    local py=$1
    shift
    # The interpreter's own packages: not those that PYTHONHOME or PYTHONPATH
    # name for the tests' run (another platform's, an instrumented build).
    env -u PYTHONHOME -u PYTHONPATH "$py" - "$root/tests/python" "$@" <<'PY'
import contextlib, io, sys
import pytest

names = sys.argv[2:]


class Markers:
    found = set()

    def pytest_collection_modifyitems(self, items):
        self.found = {n for item in items for n in names if item.get_closest_marker(n)}


markers = Markers()
with contextlib.redirect_stdout(io.StringIO()):
    status = pytest.main(["--collect-only", "-q", "-p", "no:cacheprovider", sys.argv[1]],
                         plugins=[markers])
missing = [n for n in names if n not in markers.found]
if status != 0 or missing:
    sys.exit(f"no test of tests/python is marked {' or '.join(missing)}" if missing else
             f"collecting tests/python failed ({status})")
PY
}

# Functions shared by the scripts; sourced, not run:
#     . "$root/scripts/common.sh"
#
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

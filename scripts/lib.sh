# Shared by scripts/run, scripts/test and scripts/bench: the Debian packages
# each needs, installed only when missing.

# shellcheck disable=SC2034
BUILD_PACKAGES=(cmake g++ make libgl-dev libglut-dev libgl1-mesa-dri)
TEST_PACKAGES=(libgtest-dev libgmock-dev xvfb libx11-dev libxtst-dev openbox fluxbox libfaketime
               clang-format clang-tidy valgrind)
HEADLESS_PACKAGES=(xvfb xdotool imagemagick)

# ensure_packages PACKAGE...: installs what is missing, as root with apt-get;
# anyone else is told the command and the script stops.
ensure_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages. Install them with:" >&2
        echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    echo "Installing ${missing[*]}" >&2
    apt-get update -q >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >&2
}

# start_xvfb DIR: starts a private Xvfb, sets DISPLAY and XVFB_PID.
start_xvfb() {
    local dir=$1 deadline=$((SECONDS + 20))
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$dir/display" >"$dir/xvfb.log" 2>&1 &
    XVFB_PID=$!
    until [ -s "$dir/display" ]; do
        if [ $SECONDS -ge $deadline ] || ! kill -0 "$XVFB_PID" 2>/dev/null; then
            echo "Xvfb did not start:" >&2
            cat "$dir/xvfb.log" >&2
            exit 1
        fi
        sleep 0.1
    done
    export DISPLAY=":$(head -n 1 "$dir/display")"
}

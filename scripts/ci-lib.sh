# Shared by the test legs (sourced, not run). Each leg is a CMake preset of
# CMakePresets.json, built in the preset's own folder, build/<preset>, so that
# `cmake --preset X && cmake --build --preset X && ctest --preset X` reproduces it.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# The build folder of preset $1.
leg_dir() {
    echo "$root/build/$1"
}

# Runs "$@" and reports its wall time as step $1.
timed() {
    local what=$1 start=$SECONDS rc=0
    shift
    "$@" || rc=$?
    echo "== ${what}: $((SECONDS - start)) s (exit ${rc})"
    return "$rc"
}

# configure, build and test preset $1; extra arguments go to ctest.
run_preset_leg() {
    local preset=$1
    shift
    timed "$preset configure" cmake --preset "$preset"
    timed "$preset build" cmake --build --preset "$preset"
    timed "$preset tests" ctest --preset "$preset" "$@"
}

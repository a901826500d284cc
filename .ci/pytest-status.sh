# Sourced by the CI scripts that run the suite. pytest_status RC WHO returns pytest's exit status RC
# as CI takes it: 5 (no tests collected) is a failure of the suite's own making, not a pass.
pytest_status() {
    local rc=$1 who=$2
    if [ "$rc" -eq 5 ]; then
        echo "$who: pytest collected no tests" >&2
        return 1
    fi
    return "$rc"
}

# Sourced by the test scripts. A test whose tools are missing is skipped
# (exit 77) with a message; under CI, where scripts/test.sh installs them,
# it fails instead.
#   [ -z "$missing" ] || missing_tools "<what needs them>" "$missing"
missing_tools() {
    if [ -n "${CI:-}" ]; then
        echo "FAIL ($1): missing$2 (CI installs them through scripts/test.sh)"
        exit 1
    fi
    echo "SKIPPED ($1): missing$2; scripts/test.sh installs them as root"
    exit 77
}

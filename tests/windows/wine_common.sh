# Shared by the wine runs, sourced after they set tmp and WINE_BOOT_S:
# wine's quiet environment, the prefix (WINEPREFIX if given, else one made
# in $tmp), and check NAME CONDITION..., which counts passed and failed
# checks and names each failure.
export WINEDEBUG=-all
if [ -z "${WINEPREFIX:-}" ]; then
    export WINEPREFIX=$tmp/wine
    timeout "$WINE_BOOT_S" wineboot -i >"$tmp/wineboot.log" 2>&1
fi

passed=0
failed=0
check() { # check NAME CONDITION...
    local name=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $name"
    fi
}

# Sourced by every script that runs something on the fixed HAC queue keys
# (0x92101071-0x92101073) or the log control port 127.0.0.1:54321: the test
# suite, the soak, valgrind, the armhf run, the demo.
#
# On a machine where a browser and an application manager run, they use the
# same keys: a test would take their messages, and the suite's
# `hac demo --force` removes their queues. So the work runs
# - as root: in a private IPC namespace, and with --net in a private network
#   namespace as well, whose loopback is brought up; the machine's queues and
#   port stay untouched;
# - otherwise: here, and only while no HAC queue exists here; the script
#   refuses to start (or to run after its build) when one does.
# HAC_SHARED_IPC=1 runs the work here whoever runs it, queues or not.
#
#   . "$(dirname "$0")/namespace.sh"
#   hac_namespace_check [--net]       at the start, before building: may refuse
#   hac_isolated [--net] COMMAND...   runs COMMAND where the check decided

hac_script_name="scripts/$(basename "$0")"

# Whether this IPC namespace holds any of the three HAC queues.
hac_queues_present() {
    local keys
    keys=$(ipcs -q | awk '{ print tolower($1) }')
    grep -qE '^0x9210107[123]$' <<<"$keys"
}

hac_private_namespace_possible() {
    local net="$1"
    [ "$(id -u)" -eq 0 ] || return 1
    if [ "$net" = 1 ]; then
        unshare --ipc --net true 2>/dev/null
    else
        unshare --ipc true 2>/dev/null
    fi
}

hac_refuse_if_queues_present() {
    hac_queues_present || return 0
    cat >&2 <<EOF
$hac_script_name: HAC queues exist here (ipcs -q shows keys 0x92101071-0x92101073):
a browser or application manager may be using them, and this run would take
their messages or remove the queues. Run it as root where unshare is allowed
(it then runs in a private IPC namespace), stop them and remove the queues
('hac queues --remove'), or set HAC_SHARED_IPC=1 to run here anyway.
EOF
    exit 1
}

# Decides where the work runs: HAC_NAMESPACE is "private" or "shared".
hac_namespace_check() {
    local net=0
    [ "${1:-}" = --net ] && net=1
    if [ "${HAC_SHARED_IPC:-0}" = 1 ]; then
        HAC_NAMESPACE=shared
        echo "$hac_script_name: HAC_SHARED_IPC=1: running in this IPC namespace" >&2
    elif hac_private_namespace_possible "$net"; then
        HAC_NAMESPACE=private
        echo "$hac_script_name: running in a private IPC$([ "$net" = 1 ] && echo " and network") namespace" >&2
    else
        HAC_NAMESPACE=shared
        hac_refuse_if_queues_present
    fi
}

hac_isolated() {
    local net=0
    if [ "${1:-}" = --net ]; then
        net=1
        shift
    fi
    if [ -z "${HAC_NAMESPACE:-}" ]; then
        if [ "$net" = 1 ]; then hac_namespace_check --net; else hac_namespace_check; fi
    fi
    if [ "$HAC_NAMESPACE" = private ]; then
        if [ "$net" = 1 ]; then
            unshare --ipc --net bash -c 'ip link set lo up && exec "$@"' hac_isolated "$@"
        else
            unshare --ipc "$@"
        fi
    else
        # A browser may have started while the script was building.
        [ "${HAC_SHARED_IPC:-0}" = 1 ] || hac_refuse_if_queues_present
        "$@"
    fi
}

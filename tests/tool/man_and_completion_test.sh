#!/usr/bin/env bash
# What a user of the installed tool reads and types: the man page renders
# without a warning and has a section for every command that 'hac --help'
# lists; bash completion offers exactly those commands, and for each command
# only options that its --help names. Settings come from
# tests/tool/CMakeLists.txt through the environment (HAC_*).
# Usage: man_and_completion_test.sh man|completion
set -euo pipefail
read -r -a emulator <<<"${HAC_EMULATOR:-}"
hac=("${emulator[@]}" "$HAC_TOOL")

fail() {
    echo "$*" >&2
    exit 1
}

commands=$("${hac[@]}" --help | sed -n '/^Commands:/,/^$/p' | awk '/^  [a-z]/ {print $1}')
[ -n "$commands" ] || fail "hac --help lists no command"

check_man_page() {
    if ! command -v man >/dev/null; then
        echo "man is not installed (Debian: man-db): the man page cannot be rendered here, skipped"
        exit 77
    fi
    local warnings rendered
    warnings=$(mktemp)
    rendered=$(MANWIDTH=80 man --warnings -l "$HAC_MAN_PAGE" 2>"$warnings") || fail "man -l $HAC_MAN_PAGE failed"
    [ ! -s "$warnings" ] || fail "the man page renders with warnings: $(cat "$warnings")"
    rm -f "$warnings"
    grep -q '^NAME' <<<"$rendered" || fail "no NAME section"
    grep -q '^ *hac - ' <<<"$rendered" || fail "NAME does not start with 'hac - '"
    local command
    for command in $commands; do
        grep -q "^   hac $command\$" <<<"$rendered" || fail "no section 'hac $command' in the man page"
    done
    local statuses
    statuses=$(sed -n '/^EXIT STATUS/,/^[A-Z]/p' <<<"$rendered")
    for status in 0 1 2 3 4 "130, 143"; do
        grep -Eq "^       $status( |\$)" <<<"$statuses" || fail "EXIT STATUS does not list $status"
    done
    echo "man page: renders without warnings, $(wc -w <<<"$commands") command sections"
}

# What completion offers for the words so far (the last one being completed).
complete_words() {
    bash -c 'source "$0"; COMP_WORDS=("${@}"); COMP_CWORD=$(( ${#COMP_WORDS[@]} - 1 )); _hac; printf "%s\n" "${COMPREPLY[@]}"' \
        "$HAC_COMPLETION" "$@"
}

check_completion() {
    local offered expected
    offered=$(complete_words hac "" | sort)
    expected=$(printf '%s\n' $commands --help --version | sort)
    [ "$offered" = "$expected" ] || fail "completion offers: $(echo $offered); hac --help lists: $(echo $expected)"
    local command option help
    for command in $commands; do
        help=$("${hac[@]}" "$command" --help)
        # Every command takes --json, or its help says that it does not.
        grep -q -- --json <<<"$help" || fail "'hac $command --help' says nothing of --json"
        offered=$(complete_words hac "$command" --)
        [ -n "$offered" ] || fail "completion offers no option for $command"
        for option in $offered; do
            grep -q -- "$option" <<<"$help" || fail "completion offers $option, which 'hac $command --help' does not name"
        done
    done
    [ "$(complete_words hac send --queue "" | sort | tr '\n' ' ')" = "notification reply request " ] \
        || fail "completion does not offer the queues after --queue"
    echo "completion: $(wc -w <<<"$commands") commands and their options"
}

case "${1:-}" in
    man) check_man_page ;;
    completion) check_completion ;;
    *) fail "usage: $0 man|completion" ;;
esac

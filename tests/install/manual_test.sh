#!/usr/bin/env bash
# The manual page and the bash completion say what the program takes: every command and
# option that `kestrune --help` and each command's help show is in both, and the manual
# names no option the program does not have.
#   manual_test.sh KESTRUNE_BINARY SOURCE_FOLDER
set -euo pipefail
kestrune=$1
source=$2
page=$source/docs/kestrune.1.scd
completion=$source/packaging/kestrune.bash-completion
fail() { echo "manual test: $*" >&2; exit 1; }
commands=$("$kestrune" --help | sed -n '/^Subcommands:/,$p' | awk 'NF && $1 != "Subcommands:" {print $1}')
[ -n "$commands" ] || fail "no commands in kestrune --help"
known=" --help --version "
for command in $commands; do
    grep -q "^\*$command\*" "$page" || fail "the manual does not describe $command"
    grep -qw "$command" "$completion" || fail "the completion does not offer $command"
    for option in $("$kestrune" "$command" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
        known+="$option "
        grep -q -- "\*$option\*" "$page" || fail "the manual does not describe $command $option"
        grep -q -- "$option" "$completion" || fail "the completion does not offer $command $option"
    done
done
for option in $(grep -o -- '\*--[a-z][a-z-]*\*' "$page" | tr -d '*' | sort -u); do
    [[ $known == *" $option "* ]] || fail "the manual names $option, which no command takes"
done
# The completion itself, as bash runs it.
out=$(bash -c "source '$completion'; COMP_WORDS=(kestrune sc); COMP_CWORD=1; _kestrune; echo \${COMPREPLY[*]}")
[ "$out" = "scan scans" ] || fail "completing 'kestrune sc' gives '$out'"
out=$(bash -c "source '$completion'; COMP_WORDS=(kestrune recover --mode f); COMP_CWORD=3; _kestrune; echo \${COMPREPLY[*]}")
[ "$out" = "formatted" ] || fail "completing --mode gives '$out'"
echo "manual test: $(echo "$commands" | wc -w) commands and their options in the manual and the completion"

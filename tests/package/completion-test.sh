#!/bin/bash
# The bash completion of both programs, through the functions bash calls on Tab: a table of
# command lines and the candidates each must offer. The type names must be the ones that
# tavrik_info itself prints in its help.
# Usage: completion-test.sh <completion-dir> <tavrik_info>
set -u
completions=$1
info=$2
failed=0
passed=0

# shellcheck source=/dev/null
. "$completions/tavrik_info"
# shellcheck source=/dev/null
. "$completions/tavrik_program"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# A tavrik_program that lists two modules, as -l does, for the serial number after -p.
mkdir "$scratch/bin"
cat >"$scratch/bin/tavrik_program" <<'FAKE'
#!/bin/sh
[ "$1" = -l ] && printf 'KT-FW-01\nKT-BOOT-02\n'
FAKE
chmod 755 "$scratch/bin/tavrik_program"
mkdir "$scratch/files" "$scratch/files/images"
touch "$scratch/files/new.hex" "$scratch/files/OLD.HEX" "$scratch/files/notes.txt"

# expect "COMMAND LINE" "CANDIDATES, one per line": the last word of the line is the one
# being completed; a line ending in a space completes an empty word.
expect() {
    local line=$1 want=$2
    read -r -a COMP_WORDS <<<"$line"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    "_${COMP_WORDS[0]}" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" \
        "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort)
    want=$(printf '%s' "$want" | sed '/^$/d' | sort)
    if [[ $got == "$want" ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: '$line'"
        echo "  expected: $(echo "$want" | paste -sd'|')"
        echo "  offered:  $(echo "$got" | paste -sd'|')"
    fi
}

all_types=$'0 (inputs)\n1 (outputs)\n2 (buttons)\n3 (psalarms)\n4 (raidleds)\n5 (watchdog)
6 (poe_enable)\n7 (poe_reset)\n8 (poe_status)\n9 (poe_voltage)\n10 (poe_current)
11 (poe_temperature)\n12 (poe_maxpower)'

# The names agree with the program's help, which prints "\t  N = name" for every type.
help_types=$("$info" -h | sed -n 's/^\t  \([0-9]*\) = \(.*\)$/\1 (\2)/p')
if [[ $help_types == "$all_types" ]]; then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
    echo "FAIL: the type names differ from tavrik_info -h:"
    diff <(echo "$all_types") <(echo "$help_types")
fi

expect "tavrik_info " $'-h\n-v\n-l\n-e\n-o\n-i'
expect "tavrik_info -" $'-h\n-v\n-l\n-e\n-o\n-i'
expect "tavrik_info -e" '-e'
expect "tavrik_info -e " ''
expect "tavrik_info -o 0 " ''
expect "tavrik_info -o 0 3 " ''
# -o offers the writable types only.
expect "tavrik_info -o 0 3 1 " \
    $'1 (outputs)\n4 (raidleds)\n5 (watchdog)\n6 (poe_enable)\n7 (poe_reset)\n12 (poe_maxpower)'
expect "tavrik_info -o 0 3 1 1" $'1 (outputs)\n12 (poe_maxpower)'
expect "tavrik_info -o 0 3 1 12" '12'
expect "tavrik_info -o 0 3 1 0" ''
expect "tavrik_info -o 0 3 1 4 " ''
expect "tavrik_info -i 0 " ''
expect "tavrik_info -i 0 3 " "$all_types"
expect "tavrik_info -i 0 3 1" $'1 (outputs)\n10 (poe_current)\n11 (poe_temperature)\n12 (poe_maxpower)'
expect "tavrik_info -i 0 3 8" '8'
expect "tavrik_info -l " ''

expect "tavrik_program " $'-h\n-v\n-l\n-p'
expect "tavrik_program -" $'-h\n-v\n-l\n-p'
expect "tavrik_program -p $scratch/files/" \
    "$scratch/files/new.hex"$'\n'"$scratch/files/OLD.HEX"$'\n'"$scratch/files/images"
expect "tavrik_program -p $scratch/files/n" "$scratch/files/new.hex"
PATH="$scratch/bin:$PATH"
expect "tavrik_program -p new.hex " $'KT-FW-01\nKT-BOOT-02'
expect "tavrik_program -p new.hex KT-B" 'KT-BOOT-02'

echo "completion: $passed passed, $failed failed"
[[ $failed -eq 0 ]]

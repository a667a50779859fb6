#!/usr/bin/env bash
# Writes the inputs of the bad-input transcript that are too large to keep in
# the repository into the current folder. Each is a snapshot with no trees
# and an extra key "x", which the reader leaves alone, holding a value made
# to meet a bound of the reader.
#
# Nested arrays (the document is level 1, so "x" holding N brackets nests
# N + 1 levels):
#   snapshot_nested_64.json     64 levels, the most a snapshot may nest
#   snapshot_nested_65.json     65, "x" on line 2: its 64th bracket, column
#                               6 + 64 = 70, is where the reader stops
#   snapshot_deep.json          200,001 levels, which writing the page out
#                               would once recurse through
#   snapshot_deep_series.jsonl  a series whose line 2 nests 1,000,001 levels
#                               between two good lines
# Long tokens, "x" on line 2 (` "x": ` is 6 columns), 1 MiB = 1,048,576:
#   snapshot_string_at_bound.json   a string of 1 MiB between its quotes,
#                                   ending in an escaped backslash: read
#   snapshot_string_long.json       1 MiB + 1, its first byte at column 8,
#                                   refused at column 8 + 1 MiB = 1,048,584;
#                                   the escaped quote in it straddles the
#                                   reader's 64 KiB buffers (bytes 65,535
#                                   and 65,536 of the file, from 0)
#   snapshot_number_at_bound.json   a number of 1 MiB digits: too large
#                                   for a double, a JSON error that quotes
#                                   the number cut to 32 bytes each end
#   snapshot_number_long.json       1 MiB + 1 digits, from column 7,
#                                   refused at column 7 + 1 MiB = 1,048,583
set -eu
head='{"format": "dideverazez-snapshot", "version": 1, "process": 1, "taken_ms": 0, "trees": [], "retired": []'

# N opening brackets, then N closing ones.
nest() {
    printf '%*s' "$1" '' | tr ' ' '['
    printf '%*s' "$1" '' | tr ' ' ']'
}

printf '%s,\n "x": %s}\n' "$head" "$(nest 63)" >snapshot_nested_64.json
printf '%s,\n "x": %s}\n' "$head" "$(nest 64)" >snapshot_nested_65.json
printf '%s, "x": %s}\n' "$head" "$(nest 200000)" >snapshot_deep.json
{
    printf '%s}\n' "$head"
    printf '%s, "x": %s}\n' "$head" "$(nest 1000000)"
    printf '%s}\n' "$head"
} >snapshot_deep_series.jsonl

# N bytes of the character C.
bytes() { head -c "$1" /dev/zero | tr '\0' "$2"; }
mib=$((1 << 20))
printf '%s,\n "x": "%s\\\\"}\n' "$head" "$(bytes $((mib - 2)) a)" >snapshot_string_at_bound.json
before=$((65535 - ${#head} - 2 - 7)) # content bytes before the backslash
printf '%s,\n "x": "%s\\"%s"}\n' "$head" "$(bytes $before a)" \
    "$(bytes $((mib + 1 - before - 2)) a)" >snapshot_string_long.json
printf '%s,\n "x": 1%s}\n' "$head" "$(bytes $((mib - 1)) 0)" >snapshot_number_at_bound.json
printf '%s,\n "x": 1%s}\n' "$head" "$(bytes $mib 0)" >snapshot_number_long.json

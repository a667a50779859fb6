#!/usr/bin/env bash
# Writes the deeply nested inputs of the bad-input transcript into the current
# folder, rather than keeping megabytes of brackets in the repository. Each is
# a snapshot with no trees and an extra key "x", which the reader leaves alone,
# holding nested arrays; the document is level 1, so "x" holding N brackets
# nests N + 1 levels.
#
#   snapshot_nested_64.json     64 levels, the most a snapshot may nest
#   snapshot_nested_65.json     65, "x" on line 2: its 64th bracket, column
#                               6 + 64 = 70, is where the reader stops
#   snapshot_deep.json          200,001 levels, which writing the page out
#                               would once recurse through
#   snapshot_deep_series.jsonl  a series whose line 2 nests 1,000,001 levels
#                               between two good lines
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

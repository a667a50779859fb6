#!/usr/bin/env bash
# Validates snapshot files (a snapshot, or a time series of them, one a line)
# against the schema with Python's jsonschema; the files after --reject must
# fail, which shows that the validation is not vacuous. Exits 77 (skipped)
# when no Python can import jsonschema (Debian: python3-jsonschema).
#
# Usage: schema.sh SCHEMA FILE... [--reject FILE...]
set -u
for python in /usr/bin/python3 python3; do
    if "$python" -c 'import jsonschema' 2>/dev/null; then
        exec "$python" - "$@" <<'PYTHON'
import json
import sys

import jsonschema

schema = json.load(open(sys.argv[1]))
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)
expect_valid, failures = True, 0
for name in sys.argv[2:]:
    if name == "--reject":
        expect_valid = False
        continue
    text, decoder, at, errors, count = open(name).read(), json.JSONDecoder(), 0, [], 0
    while text[at:].strip():
        at += len(text[at:]) - len(text[at:].lstrip())
        document, at = decoder.raw_decode(text, at)
        count += 1
        errors += ["%s: snapshot %d: /%s: %s" % (name, count, "/".join(map(str, e.absolute_path)),
                                                 e.message) for e in validator.iter_errors(document)]
    if expect_valid and errors:
        print("\n".join(errors))
        failures += 1
    elif not expect_valid and not errors:
        print("%s: valid, but should not be" % name)
        failures += 1
    else:
        print("%s: %d snapshot(s), %s" % (name, count, "rejected as expected: " + errors[0]
                                          if errors else "valid"))
sys.exit(1 if failures else 0)
PYTHON
    fi
done
echo "SKIPPED: no python3 can import jsonschema (Debian: apt-get install python3-jsonschema)"
exit 77

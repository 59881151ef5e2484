"""Checks JSON documents against a JSON Schema (draft 2020-12).
Usage: check_json.py SCHEMA FILE...; exit status 0 when every file conforms."""
import json
import sys

from jsonschema import Draft202012Validator


def main():
    schema = json.load(open(sys.argv[1]))
    Draft202012Validator.check_schema(schema)
    validator = Draft202012Validator(schema)
    faults = []
    for path in sys.argv[2:]:
        for error in validator.iter_errors(json.load(open(path))):
            faults.append("%s: %s: %s" % (path, list(error.absolute_path), error.message))
    for fault in faults:
        print(fault)
    return 1 if faults else 0


sys.exit(main())

"""Checks a station_run record against the record's JSON Schema (draft 2020-12):
record.json as a whole, and every complete line of record.jsonl as an event.
Usage: check_record.py SCHEMA RUN_FOLDER; exit status 0 when both conform."""
import json
import sys

from jsonschema import Draft202012Validator


def main():
    schema = json.load(open(sys.argv[1]))
    folder = sys.argv[2]
    Draft202012Validator.check_schema(schema)
    faults = []
    record = Draft202012Validator(schema)
    for error in record.iter_errors(json.load(open(folder + "/record.json"))):
        faults.append("record.json: %s: %s" % (list(error.absolute_path), error.message))
    event = Draft202012Validator({"$defs": schema["$defs"], "$ref": "#/$defs/event"})
    with open(folder + "/record.jsonl") as lines:
        for number, line in enumerate(lines, 1):
            for error in event.iter_errors(json.loads(line)):
                faults.append("record.jsonl:%d: %s" % (number, error.message))
    for fault in faults:
        print(fault)
    return 1 if faults else 0


sys.exit(main())

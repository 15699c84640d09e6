#!/usr/bin/python3
"""Validates JSON documents, one per line of standard input, against a JSON Schema file.

Prints each violation and exits with 1 when there is one; 0 when every document is valid."""
import json
import sys

import jsonschema

with open(sys.argv[1], encoding="utf-8") as schema_file:
    schema = json.load(schema_file)
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)
failed = False
for number, line in enumerate(sys.stdin, start=1):
    if not line.strip():
        continue
    for error in validator.iter_errors(json.loads(line)):
        failed = True
        path = "/".join(str(part) for part in error.absolute_path)
        print(f"document {number}, /{path}: {error.message}")
sys.exit(1 if failed else 0)

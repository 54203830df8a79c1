#!/usr/bin/env python3
"""Checks stm32cmd's --json output against the documented fields.

    json_check.py list FILE      one document {"boards": [...]} (stm32cmd -l --json)
    json_check.py results FILE   one object per line (--json with -u, -d, -e)

Every object must have exactly the documented members, in the documented
order, each of its documented type. On success each object is printed as one
line of tab-separated key=value pairs (strings bare, others as JSON), for the
test to compare values; on failure the reason goes to standard error and the
exit status is 1.
"""
import json
import sys

STRING, INTEGER, REAL, BOOLEAN, NULL = 'string', 'integer', 'real', 'boolean', 'null'

LIST_FIELDS = [
    ('index', {INTEGER}), ('listId', {INTEGER}), ('path', {STRING, NULL}), ('serial', {STRING, NULL}),
    ('product', {STRING, NULL}), ('bcdDevice', {INTEGER, NULL}), ('layout', {STRING, NULL}),
    ('transferSize', {INTEGER, NULL}), ('flashStart', {INTEGER, NULL}), ('flashSize', {INTEGER, NULL}),
    ('openError', {STRING, NULL}),
]

RESULT_FIELDS = [
    ('path', {STRING, NULL}), ('serial', {STRING, NULL}), ('command', {STRING}), ('result', {INTEGER}),
    ('resultName', {STRING, NULL}), ('bytes', {INTEGER}), ('pagesErased', {INTEGER}), ('pagesWritten', {INTEGER}),
    ('pagesSkipped', {INTEGER}), ('massErase', {BOOLEAN}), ('seconds', {REAL, INTEGER}),
]

COMMANDS = {'upload', 'download', 'erase'}


def kind(value):
    if value is None:
        return NULL
    if isinstance(value, bool):
        return BOOLEAN
    if isinstance(value, int):
        return INTEGER
    if isinstance(value, float):
        return REAL
    if isinstance(value, str):
        return STRING
    return type(value).__name__


def check_object(obj, fields, where):
    if not isinstance(obj, dict):
        raise ValueError(f'{where}: not an object')
    names = [name for name, _ in fields]
    if list(obj.keys()) != names:
        raise ValueError(f'{where}: members {list(obj.keys())}, documented {names}')
    for name, kinds in fields:
        if kind(obj[name]) not in kinds:
            raise ValueError(f'{where}: {name} is {kind(obj[name])}, documented {sorted(kinds)}')
    if 'command' in obj and obj['command'] not in COMMANDS:
        raise ValueError(f'{where}: command {obj["command"]!r}')


def flat(obj):
    return '\t'.join(f'{k}={v if isinstance(v, str) else json.dumps(v)}' for k, v in obj.items())


def strict_load(text):
    def no_duplicates(pairs):
        keys = [k for k, _ in pairs]
        if len(keys) != len(set(keys)):
            raise ValueError(f'duplicate member in {keys}')
        return dict(pairs)
    return json.loads(text, object_pairs_hook=no_duplicates)


def main(argv):
    if len(argv) != 3 or argv[1] not in ('list', 'results'):
        print(__doc__, file=sys.stderr)
        return 2
    with open(argv[2], encoding='utf-8') as f:
        text = f.read()
    try:
        if argv[1] == 'list':
            document = strict_load(text)
            if not isinstance(document, dict) or list(document.keys()) != ['boards']:
                raise ValueError('the document is not {"boards": [...]}')
            if not isinstance(document['boards'], list):
                raise ValueError('"boards" is not a list')
            objects = document['boards']
            for i, obj in enumerate(objects):
                check_object(obj, LIST_FIELDS, f'board {i}')
        else:
            objects = []
            for number, line in enumerate(text.splitlines(), 1):
                obj = strict_load(line)
                check_object(obj, RESULT_FIELDS, f'line {number}')
                objects.append(obj)
    except ValueError as problem:  # json.JSONDecodeError is one
        print(f'{argv[2]}: {problem}', file=sys.stderr)
        return 1
    for obj in objects:
        print(flat(obj))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))

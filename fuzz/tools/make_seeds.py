#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets from the test sources and sample catalogs.

Run from the repository root; it rewrites fuzz/corpus/<target>/seed-* and leaves other files
(regressions from findings) alone."""
import glob
import hashlib
import os
import re
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))
LITERAL = re.compile(r'(?:u8|u|L)?"((?:[^"\\\n]|\\.)*)"')


def unescape(body):
    out, i = [], 0
    while i < len(body):
        c = body[i]
        if c != '\\':
            out.append(c)
            i += 1
            continue
        n = body[i + 1]
        simple = {'n': '\n', 'r': '\r', 't': '\t', '"': '"', "'": "'", '\\': '\\', '0': '\0'}
        if n == 'u':
            out.append(chr(int(body[i + 2:i + 6], 16)))
            i += 6
        elif n == 'U':
            out.append(chr(int(body[i + 2:i + 10], 16)))
            i += 10
        elif n == 'x':
            m = re.match(r'[0-9a-fA-F]+', body[i + 2:])
            out.append(chr(int(m.group(0), 16)))
            i += 2 + len(m.group(0))
        else:
            out.append(simple.get(n, n))
            i += 2
    return ''.join(out)


def literals(path):
    text = open(path, encoding='utf-8').read()
    # Adjacent literals form one string, as the compiler joins them.
    joined = re.sub(r'"\s*\n\s*(?:u8|u|L)?"', '', text)
    for m in LITERAL.finditer(joined):
        try:
            yield unescape(m.group(1))
        except (ValueError, AttributeError, IndexError):
            continue


def write(target, data):
    folder = os.path.join(ROOT, 'fuzz', 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    name = 'seed-' + hashlib.sha1(data).hexdigest()[:12]
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)


def enc(s):
    return s.encode('utf-8', 'surrogatepass')


def main():
    for target in ('parse', 'edit', 'read', 'escape', 'merge', 'regfile', 'pe'):
        for old in glob.glob(os.path.join(ROOT, 'fuzz', 'corpus', target, 'seed-*')):
            os.remove(old)
    documents = set()
    values = set()
    for path in glob.glob(os.path.join(ROOT, 'tests', 'xml', '*.cpp')) + \
            glob.glob(os.path.join(ROOT, 'tests', 'import', '*.cpp')):
        for s in literals(path):
            if '<' in s and '>' in s and len(s) >= 4:
                documents.add(s)
            elif 0 < len(s) <= 64:
                values.add(s)
    catalogs = []
    for path in sorted(glob.glob(os.path.join(ROOT, 'tests', 'data', '**', '*.xml'), recursive=True) +
                       glob.glob(os.path.join(ROOT, 'examples', '**', '*.xml'), recursive=True)):
        raw = open(path, 'rb').read()
        catalogs.append(raw.decode('gbk', 'replace'))
    documents |= set(catalogs)
    documents = sorted(documents)
    for d in documents:
        write('parse', enc(d))
        write('read', enc(d) + b'\0name\0k0\0q1')
        # A few operations of each kind after the document.
        ops = bytes([0, 1, 0, 3, ord('a'), ord('<'), ord('b'), 3, 9, 2,
                     3, 2, 0, 8]) + b'<x k="1"/>' + bytes([4, 5, 0x48, 2]) + b'a&' + \
              bytes([5, 3, 0, 0, 6, 0, 0, 0, 7, 0, 0, 0, 1, 40, 1, 0])
        write('edit', enc(d) + b'\0' + ops)
    # Values with markup or references first, then a sample of the rest.
    picked = sorted(v for v in values if any(c in v for c in '<>&]\'"'))[:120]
    picked += sorted(values - set(picked))[:40]
    for v in sorted(set(picked) | {'a&amp;b', ']]>', 'x]]>y]]>', '&#65;&#x41;&lt', '&bad;', ''}):
        for flags in (0, 8, 0x9):
            write('escape', bytes([flags]) + enc(v))
    product = [c for c in catalogs if '<mirvo' in c]
    for i, p in enumerate(product):
        for q in product[i:i + 3]:
            write('merge', enc(p) + b'\0' + enc(q))
    for path in glob.glob(os.path.join(ROOT, 'tests', 'platform', '*.cpp')):
        for s in literals(path):
            if s.startswith('WINE REGISTRY'):
                write('regfile', enc(s))
    for path in glob.glob(os.path.join(ROOT, 'build', '*', 'tests', 'platform', 'fixtures', '*.exe')):
        data = open(path, 'rb').read()
        write('pe', data)
    return 0


if __name__ == '__main__':
    sys.exit(main())

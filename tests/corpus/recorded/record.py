#!/usr/bin/env python3
"""Records the library reports of a `corpus score` run for the ledger's replay test.

    record.py SCORE-OUT-DIR [TOOL...]

For each tool's results.json under SCORE-OUT-DIR it writes <tool>.json beside this script: the
versions of the libraries the tool's programs loaded, and every distinct report inside a library
that the ledger judged (or left unjudged), with the frames, access kinds and memory the ledger
matches. Reports that show a racy program's label are the labels' business and are left out.
Frames keep their function and object only; stacks are cut after the frames a ledger side can
look at. Of reports with the same tops on the same place, one sample is kept."""
import json, os, subprocess, sys
from collections import defaultdict

here = os.path.dirname(os.path.abspath(__file__))
out_dir, tools = sys.argv[1], sys.argv[2:]

def versions(bin_dir):
    v = {}
    text = subprocess.run(['dpkg-query', '-W', '-f=${source:Package} ${source:Version}\n'],
                          capture_output=True, text=True).stdout
    for line in text.splitlines():
        p, _, ver = line.partition(' ')
        v.setdefault(p, ver)
    built = os.path.join(os.path.dirname(bin_dir), 'instrumented', 'versions.txt')
    if os.path.exists(built):
        for line in open(built):
            w = line.split()
            if len(w) >= 5 and w[3] == 'built':
                v[w[0]] = w[4]
    return v

def frames(stack, n):
    return [[f[0], os.path.basename(f[2])] for f in stack[:n]]

for tool in tools or sorted(os.listdir(out_dir)):
    path = os.path.join(out_dir, tool, 'results.json')
    if not os.path.exists(path):
        continue
    results = json.load(open(path))
    kept, per_place = [], defaultdict(int)
    for program in results['programs']:
        judgement = {r['key']: r['judgement'] for r in program.get('report_list', [])}
        for r in program.get('record', {}).get('reports', []):
            # Only reports the ledger is asked about: a label's own are judged before it.
            if r['own'] or judgement.get(r['key']) not in (
                    'race', 'false alarm', 'unjudged', 'ambiguous'):
                continue
            m = dict(r.get('memory', {}))
            m.pop('text', None)
            m.pop('address', None)
            m.pop('block_size', None)
            if 'object' in m:
                m['object'] = os.path.basename(m['object'])
            if 'allocated' in m:
                m['allocated'] = [[f['function'], os.path.basename(f['object'])]
                                  for f in m['allocated'][:12]]
            stacks = [frames(s, 6) for s in r['stacks']]
            # Of reports with the same tops of their stacks on the same place (an object's
            # section or symbol, a block by its allocating functions), one sample.
            def top(stack):
                named = [f for f in stack if f[0]]
                return named[0] if named else stack[:1]
            alloc = [f[0] for f in m.get('allocated', []) if f[0]][:3]
            place = json.dumps([r['kind'], [top(s) for s in stacks], r.get('access_kinds'),
                                m.get('kind'), m.get('object'), m.get('section'),
                                m.get('symbol'), alloc], sort_keys=True)
            per_place[place] += 1
            if per_place[place] > 1:
                continue
            report = {'program': program['program'], 'kind': r['kind'], 'stacks': stacks,
                      'access_kinds': r.get('access_kinds', []), 'memory': m}
            # helgrind's allocation stands for a write: kept when it is more than the memory's.
            if r['allocation'] and frames(r['allocation'], 12) != m.get('allocated'):
                report['allocation'] = frames(r['allocation'], 12)
            elif r['allocation']:
                report['allocation_is_memory'] = True
            kept.append(report)
    record = {'tool': tool, 'versions': versions(results['bin']), 'reports': kept}
    with open(os.path.join(here, tool + '.json'), 'w') as f:
        json.dump(record, f, separators=(',', ':'))
        f.write('\n')
    print(tool, len(kept), 'reports')

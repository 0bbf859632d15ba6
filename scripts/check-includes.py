#!/usr/bin/env python3
"""Keeps includes in their layers: every quoted include of a file in this
repository must name a header of the including target's own library or of a
library it links (directly or through others), as CMake declares them.

Each build folder given (configured already) is configured once more, with
a query for CMake's file API (each target's sources, headers included) and
its graph of targets (--graphviz: target_link_libraries, not the order of the
build), so it checks the native and the cross configurations alike. Prints
each offending include as file:line and exits 1 when there is one.

  usage: scripts/check-includes.py BUILD_DIR...
"""
import glob
import json
import os
import re
import subprocess
import sys

ROOT = os.path.realpath(os.path.join(os.path.dirname(__file__), '..'))
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
EDGE = re.compile(r'// (\S+) -> (\S+)$')


def read_targets(build):
    reply = os.path.join(build, '.cmake', 'api', 'v1', 'reply')
    indexes = sorted(glob.glob(os.path.join(reply, 'index-*.json')))
    if not indexes:
        sys.exit(f'check-includes: no CMake file-API reply in {build}; configure it after --query')
    with open(indexes[-1]) as index_file:
        index = json.load(index_file)
    codemodel = next(o for o in index['objects'] if o['kind'] == 'codemodel')
    with open(os.path.join(reply, codemodel['jsonFile'])) as codemodel_file:
        configuration = json.load(codemodel_file)['configurations'][0]
    targets = {}
    for entry in configuration['targets']:
        with open(os.path.join(reply, entry['jsonFile'])) as target_file:
            target = json.load(target_file)
        targets[target['id']] = target
    return targets


def configure(build):
    query = os.path.join(build, '.cmake', 'api', 'v1', 'query')
    os.makedirs(query, exist_ok=True)
    open(os.path.join(query, 'codemodel-v2'), 'a').close()
    graph = os.path.join(build, 'target-graph')
    os.makedirs(graph, exist_ok=True)
    subprocess.run(['cmake', '-B', build, f'--graphviz={graph}/targets.dot'], check=True, stdout=subprocess.DEVNULL)
    links = {}
    with open(os.path.join(graph, 'targets.dot')) as dot:
        for line in dot:
            match = EDGE.search(line.strip())
            if match:
                links.setdefault(match.group(1), set()).add(match.group(2))
    return links


def allowed_names(links, name):
    """The target and every library it links, directly or through others."""
    allowed = {name}
    pending = [name]
    while pending:
        for linked in links.get(pending.pop(), ()):
            if linked not in allowed:
                allowed.add(linked)
                pending.append(linked)
    return allowed


def include_directories(target):
    folders = []
    for group in target.get('compileGroups', []):
        for include in group.get('includes', []):
            folders.append(include['path'])
    return folders


def resolve(include, including_file, folders):
    for folder in [os.path.dirname(including_file), ROOT] + folders:
        candidate = os.path.realpath(os.path.join(folder, include))
        if os.path.isfile(candidate):
            return candidate
    return None


def owned_paths(targets):
    owners = {}
    for target_id, target in targets.items():
        for source in target.get('sources', []):
            path = os.path.realpath(os.path.join(ROOT, source['path']))
            owners.setdefault(path, set()).add(target_id)
    return owners


def check(build, links, targets, owned_anywhere):
    owners = owned_paths(targets)
    problems = []
    for target_id, target in sorted(targets.items(), key=lambda item: item[1]['name']):
        allowed = {other_id for other_id, other in targets.items()
                   if other['name'] in allowed_names(links, target['name'])}
        folders = include_directories(target)
        for source in target.get('sources', []):
            path = os.path.realpath(os.path.join(ROOT, source['path']))
            if not path.startswith(ROOT + os.sep) or not os.path.isfile(path):
                continue
            with open(path, encoding='utf-8', errors='replace') as lines:
                for number, line in enumerate(lines, 1):
                    match = INCLUDE.match(line)
                    if not match:
                        continue
                    header = resolve(match.group(1), path, folders)
                    if header is None or not header.startswith(ROOT + os.sep):
                        continue  # generated into the build folder, or not ours
                    if header.startswith(os.path.realpath(build) + os.sep):
                        continue
                    where = f'{os.path.relpath(path, ROOT)}:{number}'
                    header_owners = owners.get(header, set())
                    shown = os.path.relpath(header, ROOT)
                    if not header_owners:
                        if header in owned_anywhere:
                            continue  # a header of the other configuration, under its #ifdef
                        problems.append(f'{where}: {shown} belongs to no library ({target["name"]})')
                    elif not header_owners & allowed:
                        names = ', '.join(sorted(targets[o]['name'] for o in header_owners))
                        problems.append(f'{where}: {target["name"]} includes {shown} of {names}, which it does not link')
    return problems


def main(arguments):
    configurations = [(build, configure(build), read_targets(build)) for build in arguments]
    owned_anywhere = set()
    for _, _, targets in configurations:
        owned_anywhere.update(owned_paths(targets))
    problems = sorted(set(p for build, links, targets in configurations
                          for p in check(build, links, targets, owned_anywhere)))
    for problem in problems:
        print(problem)
    print(f'check-includes: {len(problems)} include(s) outside their layer in {" ".join(arguments)}')
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))

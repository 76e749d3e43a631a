#!/usr/bin/env python3
"""The house's layout rules, checked on the source tree (and the built core):

- includes point down: each folder of src/ may include only folders below
  it in LAYERS (and itself), so there is no circle between folders;
- no include circle between files either;
- only main.cpp and the files of src/runs/ end the process (fail, fail_with,
  end_process, exit);
- the core library calls nothing of the platform's: no process, signal,
  descriptor or exit function among its undefined symbols.

Usage: check_layout.py SOURCE_DIR [CORE_LIBRARY]
"""
import os
import re
import subprocess
import sys

# From the bottom up: a folder may include its own and the ones before it.
LAYERS = ['os', 'database', 'image', 'output', 'stamp', 'hid', 'serial', 'cli', 'upload', 'copies', 'runs']

# What the core must never call: it also runs in a browser and in tests.
PLATFORM_CALLS = {
    'fork', 'vfork', 'execv', 'execve', 'execvp', 'kill', 'signal', 'sigaction', 'sigprocmask',
    'pthread_sigmask', 'exit', '_exit', '_Exit', 'abort', 'ioctl', 'poll', 'ppoll', 'select', 'open', 'open64',
    'read', 'write', 'close', 'pipe', 'pipe2', 'socketpair', 'waitpid', 'CreateFileA', 'CreateProcessA',
    'ExitProcess', 'WriteFile', 'ReadFile',
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
ENDS_PROCESS = re.compile(r'(^|[^\w.>:])(fail|fail_with|end_process|exit)\s*\(')


def sources(src):
    for folder, _, files in os.walk(src):
        for name in files:
            if name.endswith(('.cpp', '.h')):
                path = os.path.join(folder, name)
                yield os.path.relpath(path, src).replace(os.sep, '/'), open(path, encoding='utf-8').read()


def folder_of(path):
    return path.split('/')[0] if '/' in path else ''


def main():
    src = sys.argv[1]
    problems = []
    graph = {}
    for path, text in sources(src):
        here = folder_of(path)
        graph[path] = [name for name in INCLUDE.findall(text) if os.path.exists(os.path.join(src, name))]
        for name in graph[path]:
            there = folder_of(name)
            if here == '' or here == there:
                continue
            if here not in LAYERS or there not in LAYERS:
                problems.append(f'{path}: folder {here or there!r} has no place in the layers')
            elif LAYERS.index(there) > LAYERS.index(here):
                problems.append(f'{path} includes {name}: an include that points up ({here} is below {there})')
        if path.endswith('.cpp') and path != 'main.cpp' and not path.startswith('runs/'):
            for number, line in enumerate(text.splitlines(), 1):
                code = line.split('//')[0]
                if ENDS_PROCESS.search(code) and not re.match(r'\s*(\[\[noreturn\]\]\s*)?(void|int)\s', code):
                    problems.append(f'{path}:{number}: ends the process below the runs: {line.strip()}')

    # Include circles between files, by a depth-first walk.
    state = {}

    def visit(node, trail):
        state[node] = 'open'
        for name in graph.get(node, []):
            if state.get(name) == 'open':
                problems.append('include circle: ' + ' -> '.join(trail[trail.index(name):] + [name]))
            elif name not in state:
                visit(name, trail + [name])
        state[node] = 'done'

    for node in sorted(graph):
        if node not in state:
            visit(node, [node])

    if len(sys.argv) > 2:
        undefined = subprocess.run(['nm', '-u', '-j', sys.argv[2]], capture_output=True, text=True).stdout
        called = {symbol.lstrip('_') if symbol.startswith('__imp_') else symbol for symbol in undefined.split()}
        for symbol in sorted(called & PLATFORM_CALLS):
            problems.append(f'the core calls {symbol}: it must build without platform code')

    for problem in problems:
        print(problem)
    print(f'{len(graph)} files checked: ' + ('the layout holds' if not problems else f'{len(problems)} problems'))
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())

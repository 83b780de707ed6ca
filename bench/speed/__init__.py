"""The speed benchmark of the skills layer (run by ../bench_native.py).

- workload:    the synthetic trees, and a small tree of edge cases;
- operations:  the six operations in four variants, and their results in one form;
- scandir_ops: the hand-optimised `os.scandir` rewrite;
- floor.c, cfloor: the C program and its runner;
- objects:     the Python work each operation cannot leave out;
- measure:     interleaved timing and peak RSS in child processes (child);
- syscalls:    system calls per call, with strace;
- startup:     whole-process timings of the command;
- report, chart: the targets' verdicts as Markdown, and the SVG.
"""

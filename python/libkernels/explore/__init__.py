"""The explorer: a local web page to turn molecules and watch their maps change.

The page (static/) talks to a small Starlette server (server.py) that holds the
molecules named on the command line, read once, and computes maps on a thread
pool.  It listens on 127.0.0.1 unless told otherwise.  settings.py checks what
the page may ask for, molecules.py describes the molecules for the page,
uploads.py reads the measured maps it uploads and fitting.py fits them.  The
command `libkernels explore` (cli/explore.py) starts it with `server.serve`.
"""

"""The explorer: a local web page to turn molecules and watch their maps change.

The page (static/: explorer.js the parts that draw into a given container,
app.js the page that wires them) talks to a small Starlette server (server.py)
that holds the molecules named on the command line, read once, and computes
maps on threads shared fairly between its clients (scheduler.py).  It listens
on 127.0.0.1 unless told otherwise, and answers only the hosts and, beyond
this computer, the token that access.py allows.  settings.py checks what the
page may ask for, molecules.py describes the molecules for the page,
headers.py measures an upload from its headers (read by formats/measured/)
before uploads.py reads it through the same open handle,
and fitting.py fits the ticked orbitals to it.  The command `libkernels
explore` (cli/explore.py) starts it with `server.serve`.
"""

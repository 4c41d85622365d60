"""Reading molecules: one `read(path)` (api.py) picks the reader of each format.

molden.py (with its orthonormality checks and corrections, molden_checks.py),
iodata.py (every other format, through IOData), pyscf.py (a PySCF molecule in
memory), examples.py (the molecules shipped with the package), cube.py
(writing Gaussian cube files).  Measured data: measured/, one module per file
layout behind one registry.
"""

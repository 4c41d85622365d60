"""Requests of the work on one molecule: momentum maps, cube files, momentum densities.

Each request holds its settings in the caller's units, checks and converts
them once, runs, and writes the record that makes the same request again
(base.py).  Fits, scans and reconstructions keep their requests beside their
work: fit/, scans/job.py and tomography/request.py.
"""

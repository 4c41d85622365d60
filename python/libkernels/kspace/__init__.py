"""From the angles an analyser measures to the momenta a fit takes.

axes.py recognises what measured data's dimensions are (by name and unit),
geometry.py holds the set-ups' mapping functions and their inverses,
resample.py puts a slice on a square momentum lattice with its variances,
convert.py converts whole maps and cubes (in chunks on dask above the memory
limit: `to_momentum`), measured.py reads every kind of measured source into
the fit's MeasuredMap (`load_measured`, converting what is in angles), request.py holds the settings (`libkernels convert`,
and the options with which fit and deconvolve take raw files).
"""

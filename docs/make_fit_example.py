"""Draws docs/fit_example.png: the README's fit of the example measured map.

    python3 docs/make_fit_example.py

It runs the README's command (`libkernels fit examples/measured/pentacene_map.npz
pentacene -O HOMO -O HOMO-1 --kinetic-energy 30 --fit-angles gamma --k-range 0.3
2.9`) and keeps its figure."""

import os
import shutil
import sys
import tempfile

from libkernels.cli import main

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


if __name__ == "__main__":
    os.chdir(ROOT)  # the figure names the file as the README's command does
    with tempfile.TemporaryDirectory() as folder:
        code = main(["fit", "examples/measured/pentacene_map.npz",
                     "pentacene", "-O", "HOMO", "-O", "HOMO-1", "--kinetic-energy", "30",
                     "--fit-angles", "gamma", "--k-range", "0.3", "2.9", "--quiet", "-o", folder])
        if code:
            sys.exit(code)
        shutil.copy(os.path.join(folder, "fit.png"), os.path.join(ROOT, "docs", "fit_example.png"))

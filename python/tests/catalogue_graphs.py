"""Bond graphs of the catalogue's molecules whose SMILES are too long to write by hand:
C60, bisanthene and the metal phthalocyanines, built atom by atom from their
chemistry.  RDKit turns each graph into a molecule; the tests compare it with the
catalogue's SMILES (the same molecule: equal canonical SMILES).
"""

import itertools
import sys

import numpy as np


def _molecule(elements, bonds):
    """RDKit molecule of `elements` and `bonds` (i, j, 'single' | 'double' | 'aromatic' |
    'dative' from i to j)."""
    from rdkit import Chem
    kinds = {"single": Chem.BondType.SINGLE, "double": Chem.BondType.DOUBLE,
             "aromatic": Chem.BondType.AROMATIC, "dative": Chem.BondType.DATIVE}
    mol = Chem.RWMol()
    for element in elements:
        atom = Chem.Atom(element)
        mol.AddAtom(atom)
    for i, j, kind in bonds:
        mol.AddBond(i, j, kinds[kind])
        if kind == "aromatic":
            mol.GetAtomWithIdx(i).SetIsAromatic(True)
            mol.GetAtomWithIdx(j).SetIsAromatic(True)
    made = mol.GetMol()
    Chem.SanitizeMol(made)
    return made


def c60():
    """The truncated icosahedron: vertices at the even permutations of (0, +-1, +-3g),
    (+-1, +-(2+g), +-2g), (+-g, +-2, +-(2g+1)) with g the golden ratio, bonds between
    neighbours (edge length 2); the 30 bonds shared by two hexagons are double."""
    g = (1 + 5 ** 0.5) / 2
    points = set()
    for x, y, z in [(0, 1, 3 * g), (1, 2 + g, 2 * g), (g, 2, 2 * g + 1)]:
        for p in [(x, y, z), (y, z, x), (z, x, y)]:
            for signs in itertools.product((1, -1), repeat=3):
                points.add(tuple(round(a * s, 9) for a, s in zip(p, signs)))
    xyz = np.array(sorted(points))
    distance = np.linalg.norm(xyz[:, None] - xyz[None], axis=2)
    edges = [(i, j) for i in range(60) for j in range(i + 1, 60) if abs(distance[i, j] - 2) < 1e-6]
    neighbours = {i: set() for i in range(60)}
    for i, j in edges:
        neighbours[i].add(j)
        neighbours[j].add(i)

    def on_pentagon(i, j):
        return any(i in neighbours[c] for a in neighbours[j] - {i} for b in neighbours[a] - {i, j}
                   for c in neighbours[b] - {i, j, a})

    return _molecule(["C"] * 60, [(i, j, "single" if on_pentagon(i, j) else "double")
                                  for i, j in edges])


ANTHRACENE = ["1", "2", "3", "4", "4a", "10", "10a", "5", "6", "7", "8", "8a", "9", "9a"]
ANTHRACENE_BONDS = [("1", "2"), ("2", "3"), ("3", "4"), ("4", "4a"), ("4a", "9a"), ("9a", "1"),
                    ("4a", "10"), ("10", "10a"), ("10a", "8a"), ("8a", "9"), ("9", "9a"),
                    ("10a", "5"), ("5", "6"), ("6", "7"), ("7", "8"), ("8", "8a")]


def bisanthene():
    """Two anthracenes side by side, joined by the bonds 1-8', 9-9' and 8-1'."""
    a = {n: k for k, n in enumerate(ANTHRACENE)}
    b = {n: 14 + k for k, n in enumerate(ANTHRACENE)}
    bonds = [(a[x], a[y], "aromatic") for x, y in ANTHRACENE_BONDS]
    bonds += [(b[x], b[y], "aromatic") for x, y in ANTHRACENE_BONDS]
    bonds += [(a["1"], b["8"], "aromatic"), (a["9"], b["9"], "aromatic"),
              (a["8"], b["1"], "aromatic")]
    return _molecule(["C"] * 28, bonds)


def phthalocyanine(metal):
    """Four isoindole units joined by aza bridges around `metal`: one Kekule structure
    of the macrocycle, the pyrrole nitrogens of units 0 and 2 bound to the metal
    covalently, those of units 1 and 3 datively (the metal(II) of a neutral MPc)."""
    sys.setrecursionlimit(10000)
    elements, sigma = [], []

    def add(element):
        elements.append(element)
        return len(elements) - 1

    units = [{n: add("N" if n == "Np" else "C") for n in
              ["Np", "Ca", "C3a", "C4", "C5", "C6", "C7", "C7a", "Cb"]} for _ in range(4)]
    aza = [add("N") for _ in range(4)]
    centre = add(metal)
    for u in units:
        for x, y in [("Np", "Ca"), ("Ca", "C3a"), ("C3a", "C7a"), ("C7a", "Cb"), ("Cb", "Np"),
                     ("C3a", "C4"), ("C4", "C5"), ("C5", "C6"), ("C6", "C7"), ("C7", "C7a")]:
            sigma.append((u[x], u[y]))
    for k in range(4):
        sigma += [(units[k]["Cb"], aza[k]), (aza[k], units[(k + 1) % 4]["Ca"])]
    # a perfect matching of the pi atoms (all but the two covalently bound nitrogens)
    pi = [i for i, e in enumerate(elements) if e in "CN"
          and i not in (units[0]["Np"], units[2]["Np"])]
    near = {i: [j for a, b in sigma for i2, j in ((a, b), (b, a)) if i2 == i and j in pi]
            for i in pi}
    match = {}

    def solve():
        free = [i for i in pi if i not in match]
        if not free:
            return True
        i = min(free, key=lambda a: sum(1 for b in near[a] if b not in match))
        for j in near[i]:
            if j not in match:
                match[i], match[j] = j, i
                if solve():
                    return True
                del match[i], match[j]
        return False

    assert solve()
    bonds = [(i, j, "double" if match.get(i) == j else "single") for i, j in sigma]
    bonds += [(units[0]["Np"], centre, "single"), (units[2]["Np"], centre, "single"),
              (units[1]["Np"], centre, "dative"), (units[3]["Np"], centre, "dative")]
    return _molecule(elements, bonds)


GRAPHS = {"C60": c60, "bisanthene": bisanthene, "CuPc": lambda: phthalocyanine("Cu"),
          "ZnPc": lambda: phthalocyanine("Zn"), "CoPc": lambda: phthalocyanine("Co"),
          "FePc": lambda: phthalocyanine("Fe")}

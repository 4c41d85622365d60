"""Other programs' basis conventions and the library's: component order and signs
(conventions.py), the analytic overlap of Gaussian shells (overlap.py), and the
conversion of a reader's shells and orbitals into a Molecule (conversion.py)."""

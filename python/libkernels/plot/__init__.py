"""Figures (matplotlib, an optional extra): momentum maps (maps.py) and fits (fits.py)."""

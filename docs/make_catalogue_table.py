"""Computes the catalogue's molecules at B3LYP/def2-SVP and fills the table of
docs/catalogue.md with the time and memory each took on this machine.

Each molecule runs in a process of its own (so that its peak memory is its own),
single-threaded and at low priority, smallest first; results are kept in
docs/catalogue_times.json as they come, so the script can be stopped and run
again: molecules already there are skipped (--again recomputes them).  A
molecule whose SCF does not converge is entered with the reason.

    python docs/make_catalogue_table.py                 # every entry not yet timed
    python docs/make_catalogue_table.py --only C60 CuPc
    python docs/make_catalogue_table.py --table-only    # rewrite the table from the JSON
"""

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
TIMES = HERE / "catalogue_times.json"
PAGE = HERE / "catalogue.md"
BEGIN, END = "<!-- table: begin -->", "<!-- table: end -->"

CHILD = """
import json, sys, time
import libkernels as lk
from libkernels.core.errors import LibkernelsError
name = sys.argv[1]
start = time.perf_counter()
try:
    mol = lk.compute_orbitals(name, method="b3lyp", basis="def2-svp", threads=1,
                              max_memory=sys.argv[2] if len(sys.argv) > 2 else None)
except LibkernelsError as error:
    print(json.dumps({"name": name, "error": str(error)}))
    sys.exit(0)
record = mol.computation
homo = mol.orbital_index("HOMO")
print(json.dumps({
    "name": name, "formula": record["formula"], "basis_functions": mol.n_components,
    "scf": record["scf"], "cycles": record["cycles"], "seconds": record["seconds"],
    "cpu_seconds": record["cpu_seconds"], "peak_memory_bytes": record["peak_memory_bytes"],
    "estimated_memory_bytes": record["estimate"]["memory_bytes"],
    "point_group": record["point_group"], "homo_ev": mol.mo_energy[homo] * lk.HARTREE_IN_EV,
    "homo_symmetry": mol.mo_symmetry[homo],
    "optimisation_seconds": record.get("optimisation", {}).get("seconds"),
    "total_seconds": time.perf_counter() - start}))
"""


def load():
    return json.loads(TIMES.read_text()) if TIMES.exists() else {}


def run(name, max_memory):
    env = {**os.environ, "OMP_NUM_THREADS": "1"}
    command = ["nice", "-n", "19", sys.executable, "-c", CHILD, name] + (
        [max_memory] if max_memory else [])
    done = subprocess.run(command, capture_output=True, text=True, env=env)
    lines = [line for line in done.stdout.splitlines() if line.startswith("{")]
    if done.returncode or not lines:
        return {"name": name, "error": (done.stderr.strip().splitlines() or ["failed"])[-1]}
    return json.loads(lines[-1])


def size(entry):
    from rdkit import Chem
    return Chem.AddHs(Chem.MolFromSmiles(entry.smiles)).GetNumAtoms()


def table(times, entries):
    rows = ["| molecule | formula | spin | basis functions | point group | SCF time | "
            "memory | HOMO (eV) | status |", "|---|---|---|---|---|---|---|---|---|"]
    for entry in entries:
        t = times.get(entry.name)
        if t is None:
            status = {"expensive": "not computed here (cost)",
                      "computes": "not computed here"}.get(entry.status, entry.status)
            rows.append(f"| {entry.name} | {entry.formula} | {entry.spin} | | | | | | "
                        f"{status} |")
        elif "error" in t:
            rows.append(f"| {entry.name} | {entry.formula} | {entry.spin} | | | | | | "
                        f"{t['error']} |")
        else:
            rows.append(
                f"| {entry.name} | {entry.formula} | {entry.spin} | {t['basis_functions']} | "
                f"{t['point_group']} | {t['seconds']:.0f} s ({t['cycles']} cycles) | "
                f"{t['peak_memory_bytes'] / 1024**3:.2f} GB | {t['homo_ev']:.2f} "
                f"({t['homo_symmetry']}) | computed |")
    return "\n".join(rows)


def write_page(times, entries):
    text = PAGE.read_text()
    before, _, rest = text.partition(BEGIN)
    _, _, after = rest.partition(END)
    PAGE.write_text(before + BEGIN + "\n" + table(times, entries) + "\n" + END + after)


def main():
    import libkernels as lk
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", nargs="*", help="these entries only")
    parser.add_argument("--again", action="store_true", help="recompute timed entries")
    parser.add_argument("--table-only", action="store_true")
    parser.add_argument("--max-memory", help="the memory guard for each SCF (e.g. 16G)")
    args = parser.parse_args()
    entries = lk.catalogue()
    times = load()
    if not args.table_only:
        chosen = [e for e in entries if not args.only or e.name in args.only]
        for entry in sorted(chosen, key=size):
            if entry.name in times and not args.again:
                continue
            print(f"{entry.name} ...", flush=True)
            times[entry.name] = run(entry.name, args.max_memory)
            print(f"  {times[entry.name]}", flush=True)
            TIMES.write_text(json.dumps(times, indent=1, sort_keys=True) + "\n")
            write_page(times, entries)
    write_page(times, entries)


if __name__ == "__main__":
    main()

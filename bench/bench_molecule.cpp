// Reads the plain-text molecule files of the benchmark suite (format in
// bench/data/make_bench_molecules.py): keywords followed by counts and values,
// floats with 9 significant digits so that they read back to the same bits.
#include "bench_molecule.h"

#include <fstream>
#include <stdexcept>

namespace {

class Tokens {
  public:
    Tokens(const std::string &path) : path_(path), in_(path) {
        if (!in_)
            throw std::runtime_error("cannot open " + path_);
    }

    std::string word() {
        std::string w;
        if (!(in_ >> w))
            fail("unexpected end of file");
        return w;
    }

    void expect(const std::string &keyword) {
        const std::string w = word();
        if (w != keyword)
            fail("expected '" + keyword + "', found '" + w + "'");
    }

    long integer() {
        return number<long>([](const std::string &w, size_t *used) { return std::stol(w, used); }, "an integer");
    }

    // strtof rounds the decimal string once, straight to float32.
    float real() {
        return number<float>([](const std::string &w, size_t *used) { return std::stof(w, used); }, "a number");
    }

    // The next word as a whole read by parse (std::stol, std::stof, ...).
    template <class Number, class Parse>
    Number number(Parse parse, const char *expected) {
        const std::string w = word();
        size_t used = 0;
        Number v{};
        try {
            v = parse(w, &used);
        } catch (const std::exception &) {
            used = 0;
        }
        if (used != w.size())
            fail(std::string("expected ") + expected + ", found '" + w + "'");
        return v;
    }

    [[noreturn]] void fail(const std::string &what) { throw std::runtime_error(path_ + ": " + what); }

  private:
    std::string path_;
    std::ifstream in_;
};

}  // namespace

BenchMolecule read_bench_molecule(const std::string &directory, const std::string &name) {
    Tokens t(directory + "/" + name + ".txt");
    BenchMolecule m;
    t.expect("libkernels-bench-molecule");
    if (t.integer() != 1)
        t.fail("unknown format version");
    t.expect("name");
    m.name = t.word();
    t.expect("basis");
    m.basis = t.word();

    t.expect("atoms");
    const long n_atoms = t.integer();
    for (long a = 0; a < n_atoms; ++a) {
        m.atom_x.push_back(t.real());
        m.atom_y.push_back(t.real());
        m.atom_z.push_back(t.real());
        m.shells_per_atom.push_back(static_cast<int32_t>(t.integer()));
    }

    t.expect("shells");
    const long n_shells = t.integer();
    long shell_total = 0;
    for (int32_t s : m.shells_per_atom)
        shell_total += s;
    if (shell_total != n_shells)
        t.fail("the atoms' shell counts do not add up to the number of shells");
    long n_prims_expected = 0;
    for (long s = 0; s < n_shells; ++s) {
        m.shell_l.push_back(static_cast<int32_t>(t.integer()));
        m.shell_n_prim.push_back(static_cast<int32_t>(t.integer()));
        m.n_components += 2 * m.shell_l.back() + 1;
        n_prims_expected += m.shell_n_prim.back();
    }

    t.expect("primitives");
    const long n_prims = t.integer();
    if (n_prims != n_prims_expected)
        t.fail("the shells' primitive counts do not add up to the number of primitives");
    for (long p = 0; p < n_prims; ++p) {
        m.prim_exponent.push_back(t.real());
        m.prim_coeff.push_back(t.real());
    }

    t.expect("orbitals");
    const long n_orbitals = t.integer();
    if (t.integer() != m.n_components)
        t.fail("the orbitals' length differs from the basis' number of components");
    for (long o = 0; o < n_orbitals; ++o) {
        m.orbital_label.push_back(t.word());
        m.orbital_energy.push_back(t.real());
        for (int32_t c = 0; c < m.n_components; ++c)
            m.mo_coeff.push_back(t.real());
    }
    return m;
}

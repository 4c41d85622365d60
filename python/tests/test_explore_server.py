"""The explorer's server refuses every bad request with a one-line 4xx and never
touches the file system for one; good requests give the library's maps."""

import builtins
import io
import json
import os
import sys
import warnings

import numpy as np
import pytest

starlette = pytest.importorskip("starlette")
with warnings.catch_warnings():
    warnings.simplefilter("ignore")  # the test client's notes about its HTTP library
    from starlette.testclient import TestClient  # noqa: E402

import libkernels as lk  # noqa: E402
from libkernels.explore.molecules import make_entry  # noqa: E402
from libkernels.cli.maps import command_of  # noqa: E402  (the command line's spelling)
from libkernels.explore.server import create_app  # noqa: E402

from conftest import requires  # noqa: E402

UPLOAD_LIMIT = 64 * 1024
TRAVERSAL = ["../../../../etc/passwd", "/etc/passwd", "..\\..\\windows\\win.ini",
             "%2e%2e%2f%2e%2e%2fetc%2fpasswd", "pentacene/../../x", "file:///etc/passwd",
             "\x00", "pentacene\x00.molden"]
STRING_FIELDS = ["molecule", "energy_mode", "symmetry", "polarisation", "client"]


@pytest.fixture(scope="module")
def client(pentacene):
    requires("momentum_map_sum", "scalar_field")
    app = create_app({"pentacene": make_entry("pentacene", "pentacene", pentacene)},
                     threads=1, max_upload=UPLOAD_LIMIT, command_line=command_of)
    with TestClient(app, base_url="http://127.0.0.1:8000",
                    raise_server_exceptions=False) as test_client:
        yield test_client


def good(pentacene, **changes):
    body = {"molecule": "pentacene", "orbitals": [{"index": pentacene.orbital_index("HOMO"),
                                                   "weight": 1.0}], "resolution": 41}
    body.update(changes)
    return body


JSON = {"content-type": "application/json"}


def upload(client, content):
    return client.post("/api/measured", content=content,
                       headers={"content-type": "application/octet-stream"})


def assert_refused(response, status=None):
    assert 400 <= response.status_code < 500, (response.status_code, response.text[:200])
    if status is not None:
        assert response.status_code == status
    message = response.json()["error"]
    assert message and "\n" not in message and "Traceback" not in message
    return message


@pytest.fixture()
def no_files(monkeypatch):
    """Fails the test when anything opens a file outside Python's own installation
    and the system data folder (where lazily imported modules read metadata and time
    zones) while it runs."""
    installed = tuple(os.path.realpath(p) for p in (sys.prefix, sys.base_prefix)) + (
        "/usr/share/", "/dev/null")
    opened = []

    def guard(original):
        def checked(path, *args, **kwargs):
            if not isinstance(path, int) and \
                    not os.path.realpath(os.fspath(path)).startswith(installed):
                opened.append(path)
                raise AssertionError(f"a request opened {path!r}")
            return original(path, *args, **kwargs)
        return checked
    for module in (builtins, io, os):
        monkeypatch.setattr(module, "open", guard(getattr(module, "open")))
    yield opened
    assert not opened


def test_map_and_exports_equal_the_library(client, pentacene):
    rows = [pentacene.orbital_index("HOMO"), pentacene.orbital_index("HOMO-1")]
    body = good(pentacene, orbitals=[{"index": rows[0], "weight": 1.0},
                                     {"index": rows[1], "weight": 0.25}],
                orientation=[20.0, 10.0, -5.0], symmetry="2", polarisation="linear",
                s_share=30.0, resolution=64)
    response = client.post("/api/map", json=body)
    assert response.status_code == 200
    assert response.headers["content-type"] == "application/octet-stream"
    info = json.loads(response.headers["X-LK-Info"])
    page_map = np.frombuffer(response.content, dtype="<f4").reshape(info["n"], info["n"])
    expected = lk.momentum_map_sum(pentacene, rows, weights=[1.0, 0.25],
                                   orientation=(20.0, 10.0, -5.0), photon_energy=35.0,
                                   work_function=4.5, k_max=3.0, n=64, symmetry=2,
                                   polarisation="linear", s_share=30.0)
    np.testing.assert_array_equal(page_map, expected.data)
    assert info["k_min"] == pytest.approx(-3.0) and info["orbitals"] == ["HOMO", "HOMO-1"]

    # A request overtaken by a newer one from the same page is not computed.
    assert client.post("/api/map", json={**body, "client": "p1", "seq": 7}).status_code == 200
    assert client.post("/api/map", json={**body, "client": "p1", "seq": 6}).status_code == 204
    assert client.post("/api/map", json={**body, "client": "p2", "seq": 1}).status_code == 200

    npy = np.load(io.BytesIO(client.post("/api/export/npy", json=body).content))
    np.testing.assert_array_equal(npy, expected.data)
    png = client.post("/api/export/png", json=body)
    assert png.headers["content-type"] == "image/png" and png.content[:8] == b"\x89PNG\r\n\x1a\n"
    exported = client.post("/api/export/settings", json=body).json()
    assert exported["settings"]["orbitals"][1] == {"index": rows[1], "name": "HOMO-1",
                                                   "weight": 0.25}
    assert "-O HOMO -O HOMO-1 --sum --weights 1 0.25" in exported["command"]
    assert "--orientation 20 10 -5" in exported["command"] and not exported["command_note"]


def test_bad_requests_get_one_line_4xx(client, pentacene, no_files):
    homo = pentacene.orbital_index("HOMO")
    for raw in ["{", "", "[]", "null", '{"molecule": NaN}', "[" * 30000 + "]" * 30000,
                '{"a": Infinity}', "\xff\xfe", '{"orbitals": [{"index": 72}]}']:
        message = assert_refused(client.post("/api/map", content=raw.encode(), headers=JSON))
        assert any(w in message for w in ("JSON", "settings", "molecule")), message
    cases = {
        "resolution": [10**9, 1002, 1, 2.5, "201", True, None, 1e308],
        "k_max": [0, -1, 1e6, "3"], "photon_energy": [0, -35, 1e20], "incidence": [91, -1],
        "work_function": [-1], "s_share": [101], "azimuth": [1e9], "kinetic_energy": [0],
        "orientation": [[0, 0], [0, 0, 1e9], [0, 0, "x"], "0 0 0", [0, 0, None]],
        "orbitals": [[], [{"index": 10**6}], [{"index": -1}], [{"index": homo, "weight": 1e300}],
                     [{"index": homo}] * 2, [{"index": homo, "path": "x"}], [homo],
                     [{"index": i} for i in range(40)]],
        "plane_height": [1e3], "seq": [-1], "unknown_field": [1],
    }
    for field, values in cases.items():
        for value in values:
            message = assert_refused(client.post("/api/map",
                                                 json=good(pentacene, **{field: value})))
            assert field.split("_")[0] in message or "orbital" in message or "setting" in message
    # Non-finite numbers written as JSON cannot be sent with json=; an overflow literal can.
    assert "finite" in assert_refused(client.post(
        "/api/map", content=b'{"molecule": "pentacene", "orbitals": [{"index": 72}], '
                            b'"k_max": 1e999}', headers=JSON))
    # Every string field, every traversal attempt, on every route that takes settings.
    for route in ("/api/map", "/api/plane", "/api/export/png", "/api/export/settings"):
        for field in STRING_FIELDS:
            for attempt in TRAVERSAL:
                assert_refused(client.post(route, json=good(pentacene, **{field: attempt})))
        for attempt in TRAVERSAL:
            assert_refused(client.post(route, json=good(pentacene, orbitals=[
                {"index": attempt}])))
    # A photon energy too small for the orbital: the library's refusal, as a 400.
    assert "kinetic energy" in assert_refused(client.post("/api/map", json=good(
        pentacene, photon_energy=1.0)))
    for attempt in TRAVERSAL[:4]:
        assert_refused(client.post("/api/fit", json={"settings": good(pentacene),
                                                     "measured": attempt}))
        assert_refused(client.post("/api/fit", json={"settings": good(pentacene),
                                                     "measured": "x", "fit_angles": [attempt]}))
    assert_refused(client.get("/api/map"), 405)
    # The memory guard, with a limit below one map.
    client.app.state.explorer.entries["pentacene"].max_memory = 1000
    try:
        assert "memory" in assert_refused(client.post("/api/map", json=good(pentacene)), 413)
    finally:
        client.app.state.explorer.entries["pentacene"].max_memory = None
    # Bodies that a browser would send cross-site without asking, and foreign Host names
    # (a site's DNS name pointed at 127.0.0.1) are refused.
    assert_refused(client.post("/api/map", content=json.dumps(good(pentacene)),
                               headers={"content-type": "text/plain"}), 415)
    assert_refused(client.post("/api/measured", content=b"PK\x03\x04",
                               headers={"content-type": "multipart/form-data"}), 415)
    for host in ("evil.example", "127.0.0.1.evil.example", "localhost.:8000", "[::2]:1"):
        assert "addressed" in assert_refused(client.post("/api/map", json=good(pentacene),
                                                         headers={"host": host}))
    assert client.get("/", headers={"host": "localhost:1234"}).status_code == 200


def test_paths_outside_the_page_are_not_served(client):
    page_files = set(client.app.state.explorer.static.values())
    for path in ["/static/../server.py", "/static/..%2fserver.py", "/static/%2e%2e/__init__.py",
                 "/static/style.css/../../settings.py", "/static/../../../../etc/passwd",
                 "/static/", "/static/index.html%00", "/etc/passwd", "/api/../static/app.js"]:
        response = client.get(path)
        assert response.status_code == 404 or response.content in page_files, path
    assert client.get("/static/app.js").headers["content-type"].startswith("text/javascript")


def test_uploads_are_read_in_memory_and_size_limited(client, pentacene, no_files):
    kx = np.linspace(-2.0, 2.0, 30)
    ky = np.linspace(-1.5, 2.5, 25)
    intensity = np.outer(np.cos(kx) ** 2, np.sin(ky) ** 2)
    intensity[0, 0] = np.nan
    buffer = io.BytesIO()
    np.savez(buffer, intensity=intensity, kx=kx, ky=ky)
    response = upload(client, buffer.getvalue())
    assert response.status_code == 200
    info = json.loads(response.headers["X-LK-Info"])
    assert info["shape"] == [30, 25] and info["kx"][0] == -2.0
    received = np.frombuffer(response.content, dtype="<f4").reshape(30, 25)
    np.testing.assert_array_equal(received, intensity.astype(np.float32))

    # The file states no energy: the fit asks for it rather than taking the page's.
    request = {"settings": good(pentacene), "measured": info["id"], "fit_angles": ["alpha"]}
    assert "enter the kinetic energy" in assert_refused(client.post("/api/fit", json=request))
    assert_refused(client.post("/api/fit", json={**request, "kinetic_energy": -3}))
    fitted = client.post("/api/fit", json={**request, "kinetic_energy": 27.5})
    assert fitted.status_code == 200, fitted.text
    fit_info = json.loads(fitted.headers["X-LK-Info"])
    assert fit_info["shape"] == [30, 25] and fit_info["kinetic_energy_ev"] == 27.5
    assert fit_info["energy_source"] == "entered" and isinstance(fit_info["warnings"], list)
    assert {"chi2_reduced", "dof", "expected_spread", "p_value"} <= set(fit_info["goodness"])
    assert np.isnan(np.frombuffer(fitted.content, dtype="<f4")[0])  # the masked pixel
    # A file that states its energies: E_kin = photon energy - work function - binding energy
    stated = io.BytesIO()
    np.savez(stated, intensity=intensity, kx=kx, ky=ky, photon_energy=40.0, work_function=4.0,
             binding_energy=6.0)
    stated_info = json.loads(upload(client, stated.getvalue()).headers["X-LK-Info"])
    assert stated_info["energies"] == {"photon_energy": 40.0, "work_function": 4.0,
                                       "binding_energy": 6.0}
    fit_info = json.loads(client.post("/api/fit", json={
        **request, "measured": stated_info["id"]}).headers["X-LK-Info"])
    assert fit_info["kinetic_energy_ev"] == 30.0 and fit_info["energy_source"] == "file"

    refusals = {
        b"": "empty", b"not a measured map": "neither",
        b"PK\x03\x04" + b"\0" * 100: "npz",
        b"\x89HDF\r\n\x1a\n" + b"\0" * 100: "NetCDF",
    }
    for raw, words in refusals.items():
        assert words in assert_refused(upload(client, raw))
    for arrays, words in [
            (dict(intensity=intensity, kx=kx), "ky"),
            (dict(intensity=intensity.T, kx=kx, ky=ky), "shape"),
            (dict(intensity=intensity, kx=kx[::-1], ky=ky), "ascending"),
            (dict(intensity=intensity, kx=kx ** 3, ky=ky), "uniform"),
            (dict(intensity=np.full_like(intensity, np.nan), kx=kx, ky=ky), "NaN"),
            (dict(intensity=np.array([None] * 750, dtype=object).reshape(30, 25), kx=kx,
                  ky=ky), "npz")]:  # pickled objects are never loaded
        buffer = io.BytesIO()
        np.savez(buffer, **arrays)
        assert words in assert_refused(upload(client, buffer.getvalue()))
    big = b"PK\x03\x04" + b"\0" * UPLOAD_LIMIT
    assert_refused(upload(client, big), 413)
    # Without a declared length the body is cut off while it streams.
    assert_refused(upload(client, iter([big[:40000], big[40000:]])), 413)
    assert_refused(client.post("/api/map", content=b" " * 70000, headers=JSON), 413)


def test_netcdf_upload(client):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("h5netcdf")
    kx = np.linspace(-1.0, 1.0, 11)
    ky = np.linspace(-1.0, 1.5, 6)
    values = np.arange(66.0).reshape(6, 11)  # stored (ky, kx): the reader transposes
    data = xr.DataArray(values, dims=("ky", "kx"), coords={"kx": kx, "ky": ky}, name="counts")
    raw = data.to_dataset().to_netcdf(engine="h5netcdf")
    response = upload(client, bytes(raw))
    assert response.status_code == 200, response.text
    received = np.frombuffer(response.content, dtype="<f4").reshape(11, 6)
    np.testing.assert_array_equal(received, values.T)


def test_command_line_checks(monkeypatch, capsys):
    from libkernels import cli
    from libkernels.explore import server

    served, options = [], []
    monkeypatch.setattr(server, "serve", lambda entries, listener, **kw: served.append(
        (list(entries), listener.getsockname()[0])) or options.append(kw) or listener.close())
    assert cli.main(["explore", "benzene", "pentacene", "benzene"]) == 0
    assert served[-1] == (["benzene", "pentacene", "benzene-2"], "127.0.0.1")
    assert options[-1]["page_defaults"] == {} and options[-1]["allow_hosts"] == []
    assert cli.main(["explore", "benzene", "--kz-damping", "0.2", "--allow-host", "lab.example",
                     "--allow-host", "10.0.0.7"]) == 0
    assert options[-1]["page_defaults"] == {"kz_damping": 0.2}
    assert options[-1]["allow_hosts"] == ["lab.example", "10.0.0.7"]
    assert "warning" not in capsys.readouterr().err
    assert cli.main(["explore", "benzene", "--host", "0.0.0.0"]) == 0
    assert "anyone" in capsys.readouterr().err
    with server.listen("127.0.0.1", 0) as busy:
        port = busy.getsockname()[1]
        for argv, words in ((["--port", str(port)], "cannot listen"),
                            (["--port", "70000"], "--port"),
                            (["no/such/dir/x.molden"], "no such file"),
                            (["--threads", "0"], "--threads"),
                            (["--max-memory", "lots"], "--max-memory"),
                            (["--kz-damping", "-1"], "--kz-damping"),
                            (["--allow-host", "evil.example/x"], "--allow-host")):
            assert cli.main(["explore", "benzene"] + argv if argv[0].startswith("-") else
                            ["explore"] + argv) == 2
            err = capsys.readouterr().err
            assert words in err and err.count("\n") == 1, err


def test_two_spins(tmp_path):
    """An open-shell molecule: orbitals listed per spin, beta orbitals mapped and named."""
    scf = pytest.importorskip("pyscf.scf")
    from pyscf import gto

    mf = scf.UHF(gto.M(atom="O 0 0 0; H 0 0 0.97", basis="sto-3g", spin=1, verbose=0)).run()
    molecule = lk.from_pyscf(mf)
    entry = make_entry("oh", "oh.molden", molecule)
    described = entry.description
    assert described["two_spins"]
    assert {o["spin"] for o in described["orbitals"]} == {"alpha", "beta"}
    beta_homo = molecule.orbital_index("HOMO", spin="beta")
    assert described["orbitals"][beta_homo]["name"] == "HOMO (beta)"
    app = create_app({"oh": entry}, threads=1, command_line=command_of)
    with TestClient(app, base_url="http://localhost") as oh:
        body = {"molecule": "oh", "orbitals": [{"index": beta_homo}], "resolution": 21,
                "energy_mode": "kinetic", "kinetic_energy": 20.0}
        response = oh.post("/api/map", json=body)
        expected = lk.momentum_map_sum(molecule, [beta_homo], kinetic_energy=20.0, n=21)
        np.testing.assert_array_equal(
            np.frombuffer(response.content, dtype="<f4").reshape(21, 21), expected.data)
        command = oh.post("/api/export/settings", json=body).json()["command"]
        assert "--spin beta -O HOMO " in command

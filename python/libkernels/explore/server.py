"""The explorer's web server: a Starlette application over the loaded molecules.

Routes answer with the page's three files (held in memory, read once from the
package), JSON descriptions, and maps as raw little-endian float32 arrays
(`application/octet-stream`) with their axes in the `X-LK-Info` header.  The
kernels run on a thread pool (the library calls release the GIL), one request
per worker at a time.  A map request carries the page's `client` id and a
sequence number; a request that a newer one from the same page has overtaken
while it waited for a worker is answered with 204 and not computed.

Every refusal is a 4xx with a JSON body {"error": "<one line>"}.
"""

from __future__ import annotations

import asyncio
import io
import json
import os
import secrets
import socket
import threading
import time
import webbrowser
from collections import OrderedDict
from concurrent.futures import ThreadPoolExecutor
from importlib import resources
from typing import (TYPE_CHECKING, Any, Awaitable, Callable, Dict, List, Mapping, Optional,
                    Sequence, Tuple, TypeVar)

import numpy as np
from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from ..core.errors import RequestError
from ..core.extras import require
from ..core.grids import MomentumMap
from ..plot.maps import save_map
from . import fitting
from . import settings as S
from .uploads import read_measured

if TYPE_CHECKING:
    from numpy.typing import ArrayLike

    from .fitting import Measured
    from .molecules import Entry
    from .settings import Settings

R = TypeVar("R")
Endpoint = Callable[[Request], Awaitable[Response]]

MAX_JSON_BYTES = 64 * 1024
DEFAULT_MAX_UPLOAD = 32 * 1024 * 1024
KEPT_MEASUREMENTS = 4
MAX_CLIENTS = 256  # pages whose newest map request is remembered
MAX_FIT_PIXELS = 1024 * 1024
MAX_FIT_ORBITALS = 8
STATIC = {"index.html": "text/html; charset=utf-8", "app.js": "text/javascript; charset=utf-8",
          "style.css": "text/css; charset=utf-8"}
COLOUR_MAPS = ("inferno", "RdBu_r")
LOCAL_NAMES = ("127.0.0.1", "localhost", "[::1]")


def _static_files() -> Dict[str, bytes]:
    """The page's files, read once: requests only ever pick one of these by name."""
    folder = resources.files("libkernels.explore").joinpath("static")
    return {name: folder.joinpath(name).read_bytes() for name in STATIC}


def _colour_tables() -> Dict[str, List[List[int]]]:
    colormaps = require("matplotlib", "explore", "the explorer", "matplotlib").colormaps
    tables: Dict[str, List[List[int]]] = {}
    for name in COLOUR_MAPS:
        rgba = colormaps[name](np.linspace(0.0, 1.0, 256))
        tables[name] = [[int(round(255 * c)) for c in row[:3]] for row in rgba]
    return tables


def _error(message: object, status: int = 400) -> JSONResponse:
    return JSONResponse({"error": str(message).splitlines()[0] if message else "bad request"},
                        status_code=status)


def _finite(value: Any) -> Any:
    """`value` with NaN and infinities as None: JSON has no words for them."""
    if isinstance(value, float):
        return value if np.isfinite(value) else None
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(v) for v in value]
    return value


def _binary(array: ArrayLike, info: Dict[str, Any]) -> Response:
    header = json.dumps(_finite(info), ensure_ascii=True, separators=(",", ":"),
                        allow_nan=False)
    return Response(np.ascontiguousarray(array, dtype="<f4").tobytes(),
                    media_type="application/octet-stream",
                    headers={"X-LK-Info": header, "Cache-Control": "no-store"})


async def _read_body(request: Request, limit: int, what: str) -> bytes:
    """The request body, refusing more than `limit` bytes before reading them all."""
    declared = request.headers.get("content-length")
    if declared is not None:
        if not declared.isdigit():
            raise RequestError("bad Content-Length")
        if int(declared) > limit:
            raise RequestError(f"{what} is {int(declared)} bytes; the limit is {limit}", 413)
    chunks: List[bytes] = []
    size = 0
    async for chunk in request.stream():
        size += len(chunk)
        if size > limit:
            raise RequestError(f"{what} exceeds the limit of {limit} bytes", 413)
        chunks.append(chunk)
    return b"".join(chunks)


def _require_type(request: Request, media_type: str) -> None:
    # Browsers send other sites' forms and plain-text posts without asking; a
    # JSON or binary body needs a preflight that this server never grants.
    given = request.headers.get("content-type", "").split(";")[0].strip().lower()
    if given != media_type:
        raise RequestError(f"the body must be sent as {media_type}, not {given or 'nothing'}",
                           415)


async def _json_body(request: Request) -> Any:
    _require_type(request, "application/json")
    body = await _read_body(request, MAX_JSON_BYTES, "the request body")
    try:
        return json.loads(body, parse_constant=_no_constant)
    except (ValueError, RecursionError) as error:
        raise RequestError(f"malformed JSON: {str(error).splitlines()[0][:120]}") from None


def _no_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a number JSON allows")


class Explorer:
    """State shared by the routes: molecules, worker pool, uploads."""

    def __init__(self, entries: Mapping[str, Entry], threads: int = 1,
                 max_upload: int = DEFAULT_MAX_UPLOAD) -> None:
        self.entries = entries
        self.pool = ThreadPoolExecutor(max_workers=max(1, threads),
                                       thread_name_prefix="libkernels-explore")
        self.max_upload = max_upload
        self.static = _static_files()
        self.colours = _colour_tables()
        # client id -> newest map sequence number seen
        self.latest: OrderedDict[str, int] = OrderedDict()
        # id -> (intensity, kx, ky), the last few uploads
        self.measured: OrderedDict[str, Measured] = OrderedDict()

    async def run(self, function: Callable[..., R], *args: Any) -> R:
        return await asyncio.get_running_loop().run_in_executor(self.pool, function, *args)

    # ---- page -----------------------------------------------------------------
    async def page(self, request: Request) -> Response:
        return Response(self.static["index.html"], media_type=STATIC["index.html"])

    async def static_file(self, request: Request) -> Response:
        name = request.path_params["name"]
        if name not in self.static:
            raise HTTPException(404, "no such file")
        return Response(self.static[name], media_type=STATIC[name])

    async def info(self, request: Request) -> Response:
        return JSONResponse({
            "molecules": [e.description for e in self.entries.values()],
            "colours": self.colours,
            "fit": fitting.available(),
            "limits": {"resolution": S.MAX_RESOLUTION, "orbitals": S.MAX_ORBITALS,
                       "upload_bytes": self.max_upload},
            "defaults": {name: default for name, (default, _) in S.FIELDS.items()
                         if default is not None}})

    # ---- maps -------------------------------------------------------------------
    async def momentum_map(self, request: Request) -> Response:
        settings, entry = S.parse_settings(await _json_body(request), self.entries)
        client, seq = settings["client"], settings["seq"]
        if client:
            self.latest[client] = max(seq, self.latest.pop(client, 0))
            while len(self.latest) > MAX_CLIENTS:
                self.latest.popitem(last=False)

        def work() -> Optional[Tuple[Any, Dict[str, Any], Any]]:
            if client and self.latest.get(client, 0) > seq:
                return None  # overtaken while queued
            start = time.perf_counter()
            data, info, call = S.compute_map(settings, entry)
            info["compute_ms"] = 1000 * (time.perf_counter() - start)
            return data, info, call

        result = await self.run(work)
        if result is None:
            return Response(status_code=204, headers={"X-LK-Info": json.dumps({"seq": seq})})
        data, info, _ = result
        info["seq"] = seq
        return _binary(data, info)

    async def plane(self, request: Request) -> Response:
        settings, entry = S.parse_settings(await _json_body(request), self.entries)
        data, info = await self.run(S.plane_view, settings, entry)
        return _binary(data, info)

    # ---- exports ----------------------------------------------------------------
    async def export_png(self, request: Request) -> Response:
        settings, entry = S.parse_settings(await _json_body(request), self.entries)
        return Response(await self.run(self._png, settings, entry), media_type="image/png",
                        headers={"Content-Disposition": 'attachment; filename="map.png"'})

    def _png(self, settings: Settings, entry: Entry) -> bytes:
        data, _, call = S.compute_map(settings, entry)
        # The map as momentum_map_sum returns it, drawn as `libkernels map` draws it.
        momentum_map = MomentumMap(data, call.k_min_bohr, call.k_step_bohr,
                                   call.k_unit, {**call.parameters,
                                                 "orientation": tuple(settings["orientation"])})
        out = io.BytesIO()
        save_map(momentum_map, out, molecule=entry.molecule,
                 molecule_name=os.path.splitext(os.path.basename(entry.argument))[0],
                 format="png")
        return out.getvalue()

    async def export_npy(self, request: Request) -> Response:
        settings, entry = S.parse_settings(await _json_body(request), self.entries)
        data, _, _ = await self.run(S.compute_map, settings, entry)
        out = io.BytesIO()
        np.save(out, data)
        return Response(out.getvalue(), media_type="application/octet-stream",
                        headers={"Content-Disposition": 'attachment; filename="map.npy"'})

    async def export_settings(self, request: Request) -> Response:
        settings, entry = S.parse_settings(await _json_body(request), self.entries)
        _, info, _ = await self.run(S.compute_map, settings, entry)
        command, note = S.command_line(settings, entry)
        kept = {k: v for k, v in settings.items() if k not in ("seq", "client")}
        kept["orbitals"] = [{"index": r, "name": entry.molecule.orbital_label(r), "weight": w}
                            for r, w in settings["orbitals"]]
        return JSONResponse({"settings": kept, "molecule_file": entry.description["title"],
                             "kinetic_energy_eV": info["e_kin_ev"],
                             "k_axis": {"min": info["k_min"], "step": info["k_step"],
                                        "n": info["n"], "unit": "1/angstrom"},
                             "layout": "data[i, j] is the intensity at (kx[i], ky[j])",
                             "command": command, "command_note": note})

    # ---- measured maps -------------------------------------------------------------
    async def upload(self, request: Request) -> Response:
        _require_type(request, "application/octet-stream")
        data = await _read_body(request, self.max_upload, "the upload")
        if not data:
            raise RequestError("the upload is empty")
        intensity, kx, ky, energies = await self.run(read_measured, data)
        key = secrets.token_hex(8)
        self.measured[key] = (intensity, kx, ky, energies)
        while len(self.measured) > KEPT_MEASUREMENTS:
            self.measured.popitem(last=False)
        finite = intensity[np.isfinite(intensity)]
        return _binary(intensity, {
            "id": key, "shape": list(intensity.shape), "kx": [kx[0], kx[1] - kx[0]],
            "ky": [ky[0], ky[1] - ky[0]], "min": float(finite.min()),
            "max": float(finite.max()), "energies": energies})

    async def fit(self, request: Request) -> Response:
        body = await _json_body(request)
        if not isinstance(body, dict) or \
                set(body) - {"settings", "measured", "fit_angles", "kinetic_energy"}:
            raise RequestError("a fit request is {settings, measured, fit_angles, "
                               "kinetic_energy}")
        energy = body.get("kinetic_energy")
        if energy is not None and (isinstance(energy, bool) or not isinstance(energy, (int, float))
                                   or not 0 < energy < 1e4):
            raise RequestError("kinetic_energy must be a number of eV above 0")
        settings, entry = S.parse_settings(body.get("settings"), self.entries)
        key = body.get("measured")
        if not isinstance(key, str) or key not in self.measured:
            raise RequestError("no such measured map (upload it again)", 404)
        angles = body.get("fit_angles", ["alpha"])
        if not isinstance(angles, list) or len(angles) > 3 \
                or not all(a in ("alpha", "beta", "gamma") for a in angles) \
                or len(set(angles)) != len(angles):
            raise RequestError("fit_angles must be a list of alpha, beta, gamma")
        if len(settings["orbitals"]) > MAX_FIT_ORBITALS:
            raise RequestError(f"the fit takes at most {MAX_FIT_ORBITALS} orbitals")
        if self.measured[key][0].size > MAX_FIT_PIXELS:
            raise RequestError(f"the fit takes measured maps of at most {MAX_FIT_PIXELS} pixels")
        residual, info = await self.run(fitting.fit, self.measured[key], settings, entry, angles,
                                        energy)
        return _binary(residual, info)


def _host_name(request: Request) -> str:
    """The host part of the Host header: '127.0.0.1', 'localhost', '[::1]', ..."""
    host = request.headers.get("host", "").strip().lower()
    if host.startswith("["):
        return host[:host.find("]") + 1]
    return host.split(":")[0]


def create_app(entries: Mapping[str, Entry], threads: int = 1,
               max_upload: int = DEFAULT_MAX_UPLOAD,
               hosts: Sequence[str] = LOCAL_NAMES) -> Starlette:
    """The Starlette application serving `entries` (name -> molecules.Entry).

    Requests must name one of `hosts` in their Host header ("*": any), so that a
    web site cannot reach the server through a DNS name it points at 127.0.0.1.
    """
    explorer = Explorer(entries, threads, max_upload)

    def guarded(method: Endpoint) -> Endpoint:
        async def endpoint(request: Request) -> Response:
            try:
                if "*" not in hosts and _host_name(request) not in hosts:
                    raise RequestError("this server answers only requests addressed to "
                                       f"{' or '.join(hosts)}")
                return await method(request)
            except RequestError as error:
                return _error(error, error.status)
            except MemoryError:
                return _error("not enough memory for this request; lower the resolution", 413)
        return endpoint

    routes = [
        Route("/", guarded(explorer.page)),
        Route("/favicon.ico", lambda request: Response(status_code=204)),
        Route("/static/{name}", guarded(explorer.static_file)),
        Route("/api/info", guarded(explorer.info)),
        Route("/api/map", guarded(explorer.momentum_map), methods=["POST"]),
        Route("/api/plane", guarded(explorer.plane), methods=["POST"]),
        Route("/api/export/png", guarded(explorer.export_png), methods=["POST"]),
        Route("/api/export/npy", guarded(explorer.export_npy), methods=["POST"]),
        Route("/api/export/settings", guarded(explorer.export_settings), methods=["POST"]),
        Route("/api/measured", guarded(explorer.upload), methods=["POST"]),
        Route("/api/fit", guarded(explorer.fit), methods=["POST"]),
    ]

    async def internal_error(request: Request, error: Exception) -> Response:
        # A fault of the server itself, never of the request: still one line, no traceback.
        return _error(f"internal error: {type(error).__name__}", 500)

    async def http_error(request: Request, error: Exception) -> Response:
        # Starlette hands this handler its HTTPExceptions only.
        if not isinstance(error, HTTPException):
            return await internal_error(request, error)
        return _error(error.detail, error.status_code)

    app = Starlette(routes=routes, exception_handlers={HTTPException: http_error,
                                                       Exception: internal_error},
                    )
    app.state.explorer = explorer
    return app


# ---- starting and stopping -----------------------------------------------------------

def listen(host: str, port: int) -> socket.socket:
    """A socket listening on host:port (port 0: a free one)."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    listener = socket.socket(family, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((host, port))
    listener.listen(64)
    return listener


def serve(entries: Mapping[str, Entry], listener: socket.socket, threads: int = 1,
          max_upload: int = DEFAULT_MAX_UPLOAD, open_browser: bool = False,
          any_host: bool = False, announce: Callable[..., None] = print) -> None:
    """Serves until interrupted (Ctrl-C), then stops the workers and returns."""
    uvicorn = require("uvicorn", "explore", "the explorer", "starlette and uvicorn")
    app = create_app(entries, threads=threads, max_upload=max_upload,
                     hosts=("*",) if any_host else LOCAL_NAMES)
    host, port = listener.getsockname()[:2]
    url = f"http://{'[' + host + ']' if ':' in host else host}:{port}/"
    config = uvicorn.Config(app, log_level="warning", access_log=False, lifespan="off",
                            timeout_graceful_shutdown=2)
    server = uvicorn.Server(config)
    announce(f"libkernels explore: {', '.join(entries)} at {url}  (Ctrl-C stops)", flush=True)
    if open_browser:
        def open_when_up() -> None:
            while not server.started and not server.should_exit:
                time.sleep(0.05)
            if server.started:
                webbrowser.open(url)
        threading.Thread(target=open_when_up, daemon=True).start()
    try:
        server.run(sockets=[listener])
    except KeyboardInterrupt:
        pass
    finally:
        app.state.explorer.pool.shutdown(wait=False, cancel_futures=True)
        listener.close()
    announce("libkernels explore: stopped", flush=True)

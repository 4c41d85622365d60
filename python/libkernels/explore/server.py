"""The explorer's web server: a Starlette application over the loaded molecules.

Routes answer with the page's three files (held in memory, read once from the
package), JSON descriptions, and maps as raw little-endian float32 arrays
(`application/octet-stream`) with their axes in the `X-LK-Info` header.

The work runs on the scheduler's threads (scheduler.py; the library calls
release the GIL), one orbital's map at a time, the clients in turn, so that
no page waits behind another's queue.  A page's requests carry its `client`
id (map and fit bodies, the X-LK-Client header of uploads); its newest map,
real-space view and fit replace older ones still waiting or running, which
are answered with 204.  A map request that arrives after a newer one of the
same page is answered with 204 at once.  Fits run on a thread of their own
and can be cancelled (/api/fit/cancel).

Every request must name an allowed host in its Host header, and carry the
token when the server listens beyond this computer (access.py).  Uploads are
measured from their headers before anything is inflated (headers.py).

Every refusal is a 4xx with a JSON body {"error": "<one line>"}.
"""

from __future__ import annotations

import io
import json
import os
import secrets
import socket
import threading
import time
import webbrowser
from collections import OrderedDict
from importlib import resources
from typing import (TYPE_CHECKING, Any, Awaitable, Callable, Dict, List, Mapping, Optional,
                    Sequence, Tuple)

import numpy as np
from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import JSONResponse, Response
from starlette.routing import Route

from ..core.errors import Cancelled, RequestError
from ..core.extras import require
from ..core.grids import MomentumMap
from ..core.memory import MemorySize
from ..plot.maps import save_map
from . import access, fitting
from .colours import colour_tables
from . import settings as S
from .scheduler import Scheduler, Steps
from .uploads import read_measured

if TYPE_CHECKING:
    from ..core.molecule import Molecule
    from ..requests.maps import MapRequest

# a map request, its molecule and the molecule's argument -> (command line, note)
CommandLine = Callable[["MapRequest", "Molecule", str], Tuple[str, Optional[str]]]

if TYPE_CHECKING:
    from numpy.typing import ArrayLike

    from .fitting import Measured
    from .molecules import Entry
    from .settings import Settings

Endpoint = Callable[[Request], Awaitable[Response]]

MAX_JSON_BYTES = 64 * 1024
DEFAULT_MAX_UPLOAD = 32 * 1024 * 1024
KEPT_MEASUREMENTS = 8  # uploads kept in memory, at most MEASUREMENTS_PER_CLIENT of a client's
MEASUREMENTS_PER_CLIENT = 2
MAX_CLIENTS = 256  # pages whose newest map request is remembered
MAX_QUEUED = 4  # exports and uploads of one client waiting at once
MAX_FIT_PIXELS = 1024 * 1024
MAX_FIT_ORBITALS = 8
STATIC = {"index.html": "text/html; charset=utf-8", "app.js": "text/javascript; charset=utf-8",
          "explorer.js": "text/javascript; charset=utf-8", "style.css": "text/css; charset=utf-8"}
LOCAL_NAMES = access.LOCAL_NAMES


def _static_files() -> Dict[str, bytes]:
    """The page's files, read once: requests only ever pick one of these by name."""
    folder = resources.files("libkernels.explore").joinpath("static")
    return {name: folder.joinpath(name).read_bytes() for name in STATIC}


def _error(message: object, status: int = 400) -> JSONResponse:
    return JSONResponse({"error": str(message).splitlines()[0] if message else "bad request"},
                        status_code=status)


def _binary(array: ArrayLike, info: Dict[str, Any]) -> Response:
    header = json.dumps(S.json_ready(info), ensure_ascii=True, separators=(",", ":"),
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
    """State shared by the routes: molecules, the schedulers of the work, uploads."""

    def __init__(self, entries: Mapping[str, Entry], threads: int = 1,
                 max_upload: int = DEFAULT_MAX_UPLOAD, max_memory: MemorySize = None,
                 page_defaults: Optional[Mapping[str, Any]] = None,
                 command_line: Optional[CommandLine] = None) -> None:
        self.entries = entries
        self.command_line = command_line
        self.page_defaults = dict(page_defaults or {})
        self.work = Scheduler(threads, "libkernels-explore", max_queued=MAX_QUEUED,
                              max_clients=MAX_CLIENTS)
        self.fits = Scheduler(1, "libkernels-fit", max_queued=1, max_clients=MAX_CLIENTS)
        self.max_upload = max_upload
        self.max_memory = max_memory
        self.static = _static_files()
        self.colours = colour_tables("explore", "the explorer")
        # client id -> newest map sequence number seen
        self.latest: OrderedDict[str, int] = OrderedDict()
        # id -> (client, (intensity, kx, ky, the energies its file states)), the last uploads
        self.measured: OrderedDict[str, Tuple[str, Measured]] = OrderedDict()

    def shutdown(self) -> None:
        self.work.shutdown()
        self.fits.shutdown()

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
            "limits": {**S.limits(), "upload_bytes": self.max_upload},
            "defaults": {**{name: default for name, (default, _) in S.FIELDS.items()
                            if default is not None}, **self.page_defaults}})

    # ---- maps -------------------------------------------------------------------
    async def momentum_map(self, request: Request) -> Response:
        settings, entry = S.parse_settings(await _json_body(request), self.entries)
        client, seq = settings["client"], settings["seq"]
        if client:
            if self.latest.get(client, 0) > seq:
                return _no_content(seq)  # a newer map of this page has arrived already
            self.latest[client] = seq
            self.latest.move_to_end(client)
            while len(self.latest) > MAX_CLIENTS:
                self.latest.popitem(last=False)

        def steps() -> Steps[Tuple[Any, Dict[str, Any], Any]]:
            start = time.perf_counter()
            data, info, call = yield from S.map_steps(settings, entry)
            info["compute_ms"] = 1000 * (time.perf_counter() - start)
            return data, info, call

        try:
            data, info, _ = await self.work.run(_client_key(request, client), "map", steps(),
                                                replace=bool(client))
        except Cancelled:
            return _no_content(seq)  # overtaken by a newer map of the same page
        info["seq"] = seq
        return _binary(data, info)

    async def plane(self, request: Request) -> Response:
        settings, entry = S.parse_settings(await _json_body(request), self.entries)
        client = settings["client"]
        try:
            data, info = await self.work.run(_client_key(request, client), "plane",
                                             _one_step(S.plane_view, settings, entry),
                                             replace=bool(client))
        except Cancelled:
            return _no_content(settings["seq"])
        return _binary(data, info)

    # ---- exports ----------------------------------------------------------------
    async def _export(self, request: Request, steps: Callable[[Settings, Entry], Steps[Any]]
                      ) -> Any:
        settings, entry = S.parse_settings(await _json_body(request), self.entries)
        try:
            return await self.work.run(_client_key(request, settings["client"]), "export",
                                       steps(settings, entry))
        except Cancelled:
            raise RequestError("the server is stopping", 503) from None

    async def export_png(self, request: Request) -> Response:
        png = await self._export(request, self._png)
        return Response(png, media_type="image/png",
                        headers={"Content-Disposition": 'attachment; filename="map.png"'})

    def _png(self, settings: Settings, entry: Entry) -> Steps[bytes]:
        data, _, call = yield from S.map_steps(settings, entry)
        yield
        # The map as momentum_map_sum returns it, drawn as `libkernels map` draws it.
        momentum_map = MomentumMap(data, call.k_min_bohr, call.k_step_bohr,
                                   call.k_unit, {**call.parameters,
                                                 "orientation": tuple(settings["orientation"])})
        out = io.BytesIO()
        save_map(momentum_map, out, molecule=entry.molecule,
                 molecule_name=entry.molecule.name or
                 os.path.splitext(os.path.basename(entry.argument))[0], format="png")
        return out.getvalue()

    async def export_npy(self, request: Request) -> Response:
        data, _, _ = await self._export(request, S.map_steps)
        out = io.BytesIO()
        np.save(out, data)
        return Response(out.getvalue(), media_type="application/octet-stream",
                        headers={"Content-Disposition": 'attachment; filename="map.npy"'})

    async def export_settings(self, request: Request) -> Response:
        settings, entry = S.parse_settings(await _json_body(request), self.entries)
        try:
            _, info, _ = await self.work.run(_client_key(request, settings["client"]),
                                             "export", S.map_steps(settings, entry))
        except Cancelled:
            raise RequestError("the server is stopping", 503) from None
        command, note = (None, "no command line: the server was started without one") \
            if self.command_line is None else \
            self.command_line(S.map_request(settings, entry), entry.molecule, entry.argument)
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
        client = _client_key(request, _client_header(request))
        data = await _read_body(request, self.max_upload, "the upload")
        if not data:
            raise RequestError("the upload is empty")
        try:
            intensity, kx, ky, energies = await self.work.run(
                client, "upload", _one_step(read_measured, data, self.max_memory))
        except Cancelled:
            raise RequestError("the server is stopping", 503) from None
        key = secrets.token_hex(8)
        self._keep(key, client, (intensity, kx, ky, energies))
        finite = intensity[np.isfinite(intensity)]
        return _binary(intensity, {
            "id": key, "shape": list(intensity.shape), "kx": [kx[0], kx[1] - kx[0]],
            "ky": [ky[0], ky[1] - ky[0]], "min": float(finite.min()),
            "max": float(finite.max()), "energies": energies})

    def _keep(self, key: str, client: str, measured: Measured) -> None:
        """Keeps an upload: a client's oldest go first, so that one client's uploads
        never push out another's."""
        own = [k for k, (c, _) in self.measured.items() if c == client]
        for old in own[:max(0, len(own) - MEASUREMENTS_PER_CLIENT + 1)]:
            del self.measured[old]
        self.measured[key] = (client, measured)
        while len(self.measured) > KEPT_MEASUREMENTS:
            self.measured.popitem(last=False)

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
        measured = self.measured[key][1]
        if measured[0].size > MAX_FIT_PIXELS:
            raise RequestError(f"the fit takes measured maps of at most {MAX_FIT_PIXELS} pixels")
        client = settings["client"]
        try:
            residual, info = await self.fits.run(
                _client_key(request, client), "fit",
                _one_step(fitting.fit, measured, settings, entry, angles, energy), replace=True)
        except Cancelled:
            return _error("the fit was cancelled", 409)
        return _binary(residual, info)

    async def cancel_fit(self, request: Request) -> Response:
        body = await _json_body(request)
        client = body.get("client", "") if isinstance(body, dict) else None
        if not isinstance(client, str) or len(client) > 32 \
                or not set(client) <= S.CLIENT_CHARS:
            raise RequestError("a cancel request is {client}")
        return JSONResponse({"cancelled": self.fits.cancel(_client_key(request, client),
                                                           "fit")})


def _one_step(function: Callable[..., Any], *args: Any) -> Steps[Any]:
    """A job of one step: function(*args)."""
    yield from ()
    return function(*args)


def _no_content(seq: int) -> Response:
    return Response(status_code=204, headers={"X-LK-Info": json.dumps({"seq": seq})})


def _client_header(request: Request) -> str:
    client = request.headers.get("x-lk-client", "")
    if len(client) > 32 or not set(client) <= S.CLIENT_CHARS:
        raise RequestError("X-LK-Client must be up to 32 lower-case letters and digits")
    return client


def _client_key(request: Request, client: str) -> str:
    """Whose work a request is: the page's id, else the caller's address."""
    if client:
        return "page " + client
    return "address " + (request.client.host if request.client else "unknown")


def create_app(entries: Mapping[str, Entry], threads: int = 1,
               max_upload: int = DEFAULT_MAX_UPLOAD,
               hosts: Sequence[str] = LOCAL_NAMES, token: Optional[str] = None,
               max_memory: MemorySize = None,
               page_defaults: Optional[Mapping[str, Any]] = None,
               command_line: Optional[CommandLine] = None) -> Starlette:
    """The Starlette application serving `entries` (name -> molecules.Entry).

    Requests must name one of `hosts` in their Host header, so that a web site
    cannot reach the server through a DNS name it points at this computer, and
    carry `token` when one is given (access.py).  `max_memory` is the memory
    guard's limit for uploads as well as maps; `page_defaults` the settings the
    page starts with where they differ from the fields' defaults; `command_line`
    spells a map request as the command that makes it (the command line's own,
    handed over by it: the page exports it).
    """
    explorer = Explorer(entries, threads, max_upload, max_memory, page_defaults, command_line)
    allowed = tuple(h.lower() for h in hosts)

    def guarded(method: Endpoint) -> Endpoint:
        async def endpoint(request: Request) -> Response:
            try:
                if access.host_name(request.headers.get("host", "")) not in allowed:
                    raise RequestError("this server answers only requests addressed to "
                                       f"{' or '.join(allowed)}", 403)
                shown = token and access.token_given(token, request.query_params,
                                                     request.headers, request.cookies)
                if token and not shown:
                    raise RequestError("this server needs its token: open the address it "
                                       "printed (…/?token=...)", 403)
                response = await method(request)
                if token and shown == "query":  # the page's later requests send the cookie
                    response.set_cookie(access.TOKEN_COOKIE, token, httponly=True,
                                        samesite="strict")
                return response
            except RequestError as error:
                return _error(error, error.status)
            except MemoryError:
                return _error("not enough memory for this request; lower the resolution", 413)
        return endpoint

    async def no_icon(request: Request) -> Response:
        return Response(status_code=204)

    routes = [
        Route("/", guarded(explorer.page)),
        Route("/favicon.ico", guarded(no_icon)),
        Route("/static/{name}", guarded(explorer.static_file)),
        Route("/api/info", guarded(explorer.info)),
        Route("/api/map", guarded(explorer.momentum_map), methods=["POST"]),
        Route("/api/plane", guarded(explorer.plane), methods=["POST"]),
        Route("/api/export/png", guarded(explorer.export_png), methods=["POST"]),
        Route("/api/export/npy", guarded(explorer.export_npy), methods=["POST"]),
        Route("/api/export/settings", guarded(explorer.export_settings), methods=["POST"]),
        Route("/api/measured", guarded(explorer.upload), methods=["POST"]),
        Route("/api/fit", guarded(explorer.fit), methods=["POST"]),
        Route("/api/fit/cancel", guarded(explorer.cancel_fit), methods=["POST"]),
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
    # a deep queue of connections not yet accepted: a client opening hundreds at once
    # must not make another's new connection wait for the kernel's SYN retries
    listener.listen(1024)
    return listener


def serve(entries: Mapping[str, Entry], listener: socket.socket, threads: int = 1,
          max_upload: int = DEFAULT_MAX_UPLOAD, open_browser: bool = False,
          allow_hosts: Sequence[str] = (), max_memory: MemorySize = None,
          page_defaults: Optional[Mapping[str, Any]] = None,
          announce: Callable[..., None] = print,
          command_line: Optional[CommandLine] = None) -> None:
    """Serves until interrupted (Ctrl-C), then stops the workers and returns.

    A listener on a loopback address serves this computer alone; any other needs
    the token, which the printed address carries.  `allow_hosts` are Host names
    answered besides the loopback ones and the address listened on."""
    uvicorn = require("uvicorn", "explore", "the explorer", "starlette and uvicorn")
    host, port = listener.getsockname()[:2]
    token = None if access.is_loopback(host) else access.new_token()
    app = create_app(entries, threads=threads, max_upload=max_upload,
                     hosts=access.allowed_hosts(host, allow_hosts), token=token,
                     max_memory=max_memory, page_defaults=page_defaults,
                     command_line=command_line)
    url = f"http://{access.written_as_host(host)}:{port}/" + (f"?token={token}" if token else "")
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
        app.state.explorer.shutdown()
        listener.close()
    announce("libkernels explore: stopped", flush=True)

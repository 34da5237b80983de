"""The page's server: one Starlette application, a handler of a few lines per request, the
page's files served from the package. Requests that would block (the engine's seats, a
network's evaluation, reading a chunk, drawing a plot) run in worker threads; a request the
server cannot do is answered with a 4xx and ``{"error": message}``, never by stopping."""

from __future__ import annotations

import json
import threading
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Optional

from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.requests import Request
from starlette.responses import FileResponse, JSONResponse, Response
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles

from tessarin_zero.web.dashboard import Dashboard
from tessarin_zero.web.errors import Missing, NotNow, PageError, Refused
from tessarin_zero.web.networks import Networks, evaluate_one
from tessarin_zero.web.positions import MAX_SIDE, MIN_SIDE, checked_history, checked_side
from tessarin_zero.web.positions import network_view, replay
from tessarin_zero.web.sessions import KEPT_GAMES, MAX_SIMULATIONS, GameSession, Sessions
from tessarin_zero.web.sessions import setup_from
from tessarin_zero.web.watching import find, recorded_game, sources

STATIC = Path(__file__).parent / "static"
MAX_BODY = 1 << 20
"""The largest request body read: a whole game's history at the largest side fits well."""


@dataclass
class PageSettings:
    """What the server offers: networks, a run folder (its figures, records and kept games),
    more recorded games, the games kept at once and how often the page polls a run's figures."""

    networks: Networks
    run_dir: Optional[Path] = None
    records: Sequence[Path] = ()
    kept_games: int = KEPT_GAMES
    poll_seconds: float = 5.0
    default_side: int = 20
    sessions: Sessions = field(init=False)
    stopping: threading.Event = field(default_factory=threading.Event)
    """Set when the server stops: games under way stop playing their engine seats."""

    def __post_init__(self) -> None:
        self.sessions = Sessions(self.kept_games)


async def _json_body(request: Request) -> Any:
    body = await request.body()
    if len(body) > MAX_BODY:
        raise Refused(f"the request body is larger than {MAX_BODY} bytes")
    try:
        return json.loads(body or b"null")
    except ValueError:
        raise Refused("the request body is not JSON") from None


def _answer(error: Exception) -> Response:
    status = getattr(error, "status", 400)
    return JSONResponse({"error": str(error.args[0] if error.args else error)}, status)


def create_app(settings: PageSettings) -> Starlette:
    """The application serving the page with `settings`."""
    networks = settings.networks
    sessions = settings.sessions
    dashboard = Dashboard(settings.run_dir) if settings.run_dir is not None else None

    async def page(request: Request) -> Response:
        return FileResponse(STATIC / "index.html")

    async def setup(request: Request) -> Response:
        side = settings.default_side
        trained = {entry.side for entry in networks.checkpoints.values()} - {None}
        if len(trained) == 1:
            side = trained.pop() or side  # the networks' own side, when they share one
        return JSONResponse(
            {
                "networks": [
                    {"name": entry.name, "side": entry.side}
                    for entry in networks.checkpoints.values()
                ],
                "sides": [MIN_SIDE, MAX_SIDE],
                "default_side": side,
                "max_simulations": MAX_SIMULATIONS,
                "run": str(settings.run_dir) if settings.run_dir is not None else None,
                "poll_seconds": settings.poll_seconds,
            }
        )

    def in_session(game_id: str, work: Callable[[GameSession], None]) -> dict[str, Any]:
        session = sessions.get(game_id)
        with session.lock:
            work(session)
            view = session.view()
        view["id"] = game_id
        return view

    async def new_game(request: Request) -> Response:
        body = await _json_body(request)

        def start() -> dict[str, Any]:
            session = GameSession.start(setup_from(body, networks), networks)
            game_id = sessions.add(session)
            return in_session(game_id, lambda _: None)

        return JSONResponse(await run_in_threadpool(start), 201)

    def game_route(work: Callable[[GameSession, Any], None]) -> Callable[..., Any]:
        async def handle(request: Request) -> Response:
            body = await _json_body(request) if request.method == "POST" else None
            game_id = request.path_params["game_id"]
            view = await run_in_threadpool(in_session, game_id, lambda s: work(s, body))
            return JSONResponse(view)

        return handle

    def play(session: GameSession, body: Any) -> None:
        if not isinstance(body, dict) or "cell" not in body:
            raise Refused('a move is {"cell": <row * side + column>}')
        session.play(body["cell"])

    async def analysis(request: Request) -> Response:
        body = await _json_body(request)
        if not isinstance(body, dict) or not isinstance(body.get("network"), str):
            raise Refused("an analysis names its network, side and history")
        side = checked_side(body.get("side"))
        history = checked_history(body.get("history"), side)
        name = body["network"]

        def evaluate() -> dict[str, Any]:
            networks.check_side(name, side)
            game = replay(side, history)
            if game.is_terminal():
                raise NotNow("the game is over: no move is left to weigh")
            policy, value = evaluate_one(networks.evaluator(name), game.state(), side)
            return {"network": name, **network_view(game, policy, value)}

        return JSONResponse(await run_in_threadpool(evaluate))

    async def record_list(request: Request) -> Response:
        listing = sources(settings.run_dir, settings.records)
        return JSONResponse({"sources": [{"name": s.name, "chunk": s.chunk} for s in listing]})

    async def record_game(request: Request) -> Response:
        name = request.query_params.get("source")
        try:
            index = int(request.query_params.get("index", "0"))
        except ValueError:
            raise Refused("index must be a whole number") from None
        listing = sources(settings.run_dir, settings.records)
        source = find(listing, name)
        return JSONResponse(await run_in_threadpool(recorded_game, source, index))

    def run_dashboard() -> Dashboard:
        if dashboard is None:
            raise Missing("the server was started without a run folder (--run-dir)")
        return dashboard

    async def figures(request: Request) -> Response:
        return JSONResponse(await run_in_threadpool(run_dashboard().figures))

    async def plot(request: Request) -> Response:
        board = run_dashboard()
        image = await run_in_threadpool(board.plot, request.path_params["name"])
        return Response(image, media_type="image/png", headers={"Cache-Control": "no-store"})

    async def refused(request: Request, error: Exception) -> Response:
        return _answer(error)

    routes = [
        Route("/", page),
        Route("/api/setup", setup),
        Route("/api/games", new_game, methods=["POST"]),
        Route("/api/games/{game_id}", game_route(lambda s, _: None)),
        Route(
            "/api/games/{game_id}/advance",
            game_route(lambda s, _: s.advance(settings.stopping)),
            methods=["POST"],
        ),
        Route("/api/games/{game_id}/play", game_route(play), methods=["POST"]),
        Route("/api/games/{game_id}/undo", game_route(lambda s, _: s.undo()), methods=["POST"]),
        Route("/api/analysis", analysis, methods=["POST"]),
        Route("/api/records", record_list),
        Route("/api/records/game", record_game),
        Route("/api/run/figures", figures),
        Route("/api/run/plots/{name}", plot),
        Mount("/static", StaticFiles(directory=STATIC), name="static"),
    ]
    handlers = {kind: refused for kind in PageError}
    return Starlette(routes=routes, exception_handlers=handlers)

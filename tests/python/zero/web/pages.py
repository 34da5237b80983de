"""The page's server in a thread of the test process, and a headless Chromium driving it
(Debian's chromium and chromium-driver: nothing is downloaded)."""

from __future__ import annotations

import os
import shutil
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import pytest
import uvicorn

from tessarin_zero.web.app import PageSettings, create_app
from tessarin_zero.web.server import address_of, bind

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
WAIT_SECONDS = 20.0


@contextmanager
def served(settings: PageSettings) -> Iterator[str]:
    """Serves the page on a free loopback port for the block; yields its address."""
    listener = bind("127.0.0.1", 0)
    server = uvicorn.Server(uvicorn.Config(create_app(settings), log_level="warning"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [listener]}, daemon=True)
    thread.start()
    deadline = time.monotonic() + WAIT_SECONDS
    while not server.started:
        assert time.monotonic() < deadline and thread.is_alive(), "the server did not start"
        time.sleep(0.02)
    try:
        yield address_of(listener)
    finally:
        server.should_exit = True
        thread.join(WAIT_SECONDS)
        listener.close()


def browser_or_skip() -> Any:
    """A headless Chromium (selenium), or a skipped test where none is installed, unless
    TESSARIN_BROWSER_TESTS=required (the test command sets it: there, no browser fails)."""
    missing = [path for path in (CHROMIUM, CHROMEDRIVER) if shutil.which(path) is None]
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError:
        missing.append("the selenium package")
    if missing:
        if os.environ.get("TESSARIN_BROWSER_TESTS") == "required":
            pytest.fail(f"browser tests need {', '.join(missing)}")
        pytest.skip(f"no {', '.join(missing)}")
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1400,1000"):
        options.add_argument(argument)
    options.add_argument("--disable-dev-shm-usage")
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


def until(condition: Any, what: str, seconds: float = WAIT_SECONDS) -> Any:
    """Polls `condition()` until it returns something true; fails naming `what` after
    `seconds`."""
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.05)


def screenshot(driver: Any, folder: Path, name: str) -> Path:
    """Saves what the browser shows (to look at while building, and for the docs)."""
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / f"{name}.png"
    driver.save_screenshot(str(path))
    return path

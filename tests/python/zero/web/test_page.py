"""The page in a real headless Chromium: a person's whole game against three heuristic players
played by clicks to the engine's payoffs, a refused click, the network's heat map, a record
stepped through to its end, and a run's figures following its metrics file. Screenshots go to
$TESSARIN_SCREENSHOTS (or the test's temporary folder)."""

from __future__ import annotations

import json
import os
import shutil
import urllib.request
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
import tessarin_engine
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

from tessarin_zero.evaluation.rating import Rating
from tessarin_zero.training.metrics import MetricsLog, read_metrics

from pages import browser_or_skip, screenshot, served, until
from served import iteration, page_settings

SIDE = 5


@pytest.fixture(scope="module")
def run_dir(served_files: Path, tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A copy of the served run folder, whose figures a test adds to."""
    copy = tmp_path_factory.mktemp("page") / "run"
    shutil.copytree(served_files / "run", copy)
    return copy


@pytest.fixture(scope="module")
def site(served_files: Path, run_dir: Path) -> Iterator[str]:
    with served(page_settings(served_files, run_dir=run_dir, poll_seconds=0.3)) as url:
        yield url


@pytest.fixture(scope="module")
def browser() -> Iterator[Any]:
    driver = browser_or_skip()
    try:
        yield driver
    finally:
        driver.quit()


@pytest.fixture()
def shots(tmp_path: Path) -> Path:
    return Path(os.environ.get("TESSARIN_SCREENSHOTS", tmp_path))


def open_page(browser: Any, site: str) -> None:
    browser.get(site)
    until(lambda: browser.find_element(By.TAG_NAME, "body").get_attribute("data-ready"), "page")


def status(browser: Any) -> str:
    return str(browser.find_element(By.ID, "status").get_attribute("data-waiting") or "")


def start_game(browser: Any, seats: list[str], side: int = SIDE) -> None:
    field = browser.find_element(By.ID, "side")
    field.clear()
    field.send_keys(str(side))
    for seat, choice in enumerate(seats):
        Select(browser.find_element(By.ID, f"seat-{seat}")).select_by_value(choice)
    browser.find_element(By.ID, "new-game").click()
    until(lambda: status(browser) in ("person", "over"), "the person's turn")


def owned_cells(browser: Any) -> list[str]:
    cells = browser.find_elements(By.CSS_SELECTOR, "#board-play rect.cell")
    return [cell.get_attribute("data-owner") for cell in cells]


def click_first_legal(browser: Any) -> None:
    """Clicks the first marked cell; again if the board was drawn anew meanwhile."""
    for _ in range(5):
        legal = browser.find_elements(By.CSS_SELECTOR, "#board-play rect.cell.legal")
        assert legal, "a person to move has marked cells"
        try:
            legal[0].click()
            return
        except StaleElementReferenceException:
            continue
    raise AssertionError("the board kept being drawn anew")


def game_state(site: str, browser: Any) -> Any:
    """The server's view of the game the page shows (its id is the page's own)."""
    game_id = browser.execute_script("return game.id")
    with urllib.request.urlopen(f"{site}api/games/{game_id}") as answer:
        return json.load(answer)


def test_a_person_plays_a_whole_game_by_clicks_to_the_engines_payoffs(
    browser: Any, site: str, shots: Path
) -> None:
    open_page(browser, site)
    start_game(browser, ["person", "heuristic", "heuristic", "heuristic"])
    clicks = 0
    while status(browser) == "person":
        before = len([owner for owner in owned_cells(browser) if owner != "-1"])
        click_first_legal(browser)
        clicks += 1
        until(
            lambda: status(browser) != "engine"
            and len([o for o in owned_cells(browser) if o != "-1"]) > before,
            "the click to be played",
        )
        if clicks == 3:
            screenshot(browser, shots, "game-in-progress")
    assert status(browser) == "over" and clicks > 0
    state = game_state(site, browser)
    game = tessarin_engine.Game(SIDE)
    for player, tile in state["history"]:
        game.apply(tile)
    assert game.is_terminal() and state["payoff"] == game.payoff()
    assert clicks == sum(1 for player, _ in state["history"] if player == 0)
    shown = [
        float(element.text)
        for element in browser.find_elements(By.CSS_SELECTOR, "#players .payoff")
    ]
    assert shown == [round(value, 2) for value in game.payoff()]
    assert "Game over" in browser.find_element(By.ID, "status").text
    screenshot(browser, shots, "game-over")


def test_an_illegal_click_is_refused_with_the_reason(browser: Any, site: str, shots: Path) -> None:
    open_page(browser, site)
    start_game(browser, ["person", "heuristic", "heuristic", "heuristic"], side=7)
    until(lambda: browser.find_elements(By.CSS_SELECTOR, "#board-play rect.cell.legal"), "cells")
    browser.find_element(By.CSS_SELECTOR, '#board-play rect[data-cell="48"]').click()
    message = browser.find_element(By.ID, "message")
    until(lambda: "refused" in (message.get_attribute("class") or ""), "the refusal")
    assert "first piece must cover your start corner" in message.text
    assert set(owned_cells(browser)) == {"-1"} and game_state(site, browser)["history"] == []
    screenshot(browser, shots, "refused")


def test_the_analysis_shows_the_networks_policy_and_values(
    browser: Any, site: str, shots: Path
) -> None:
    open_page(browser, site)
    start_game(browser, ["person", "network:solo", "heuristic", "network:solo"], side=7)
    Select(browser.find_element(By.ID, "analysis-network-play")).select_by_value("solo")
    browser.find_element(By.ID, "analysis-on-play").click()
    heat = until(
        lambda: browser.find_elements(By.CSS_SELECTOR, "#board-play rect.heat"), "the heat map"
    )
    legal = {
        cell.get_attribute("data-cell")
        for cell in browser.find_elements(By.CSS_SELECTOR, "#board-play rect.cell.legal")
    }
    assert {cell.get_attribute("data-cell") for cell in heat} <= legal
    total = sum(float(cell.get_attribute("data-share")) for cell in heat)
    assert total == pytest.approx(1, abs=1e-3)
    values = browser.find_elements(By.CSS_SELECTOR, "#players .value")
    assert len(values) == 4 and sum(float(v.text) for v in values) == pytest.approx(1, abs=0.01)
    screenshot(browser, shots, "analysis")


def test_a_record_is_stepped_through_to_its_end(browser: Any, site: str, shots: Path) -> None:
    open_page(browser, site)
    browser.find_element(By.ID, "tab-watch").click()
    options = until(lambda: browser.find_elements(By.CSS_SELECTOR, "#source option"), "files")
    chunk = next(
        o.get_attribute("value") for o in options if o.get_attribute("value").endswith(".npz")
    )
    Select(browser.find_element(By.ID, "source")).select_by_value(chunk)
    index = browser.find_element(By.ID, "game-index")
    index.clear()
    index.send_keys("2")
    browser.find_element(By.ID, "open-record").click()
    label = browser.find_element(By.ID, "step-label")
    total = int(until(lambda: label.get_attribute("data-total"), "the record"))
    for _ in range(3):
        browser.find_element(By.ID, "next").click()
    assert label.get_attribute("data-step") == "3"
    shares = browser.find_elements(By.CSS_SELECTOR, "#board-watch rect.share")
    assert shares, "the recorded visit shares are drawn"
    screenshot(browser, shots, "watch")
    browser.find_element(By.ID, "play-record").click()
    until(lambda: label.get_attribute("data-step") == str(total), "the end of the game", 60)
    payoffs = browser.find_elements(By.CSS_SELECTOR, "#watch-players .payoff")
    assert len(payoffs) == 4 and "the end" in label.text
    owners = browser.find_elements(By.CSS_SELECTOR, "#board-watch rect.cell:not([data-owner='-1'])")
    assert len(owners) == total


def test_the_dashboard_follows_the_runs_figures(
    browser: Any, site: str, run_dir: Path, shots: Path
) -> None:
    open_page(browser, site)
    browser.find_element(By.ID, "tab-run").click()
    state = browser.find_element(By.ID, "run-status")
    until(lambda: state.get_attribute("data-iterations") == "2", "two iterations")
    for name in ("win_rate", "losses"):
        image = browser.find_element(By.ID, f"plot-{name}")
        until(lambda: browser.execute_script("return arguments[0].naturalWidth", image), name)
    rows = browser.find_elements(By.CSS_SELECTOR, "#run-table tr")
    assert len(rows) == 3 and rows[1].find_elements(By.TAG_NAME, "td")[0].text == "1"
    rated = iteration(3).with_rating(Rating("it", 6.2, 2.0, 100), Rating("h", 4.5, 1.5, 100))
    MetricsLog(run_dir, read_metrics(run_dir / "metrics.csv")).append(rated)
    until(lambda: state.get_attribute("data-iterations") == "3", "the new iteration")
    until(lambda: len(browser.find_elements(By.CSS_SELECTOR, "#run-table tr")) == 4, "its row")
    titles = [cell.text for cell in browser.find_elements(By.CSS_SELECTOR, "#run-table th")]
    cells = [
        cell.text
        for cell in browser.find_elements(By.CSS_SELECTOR, "#run-table tr")[3].find_elements(
            By.TAG_NAME, "td"
        )
    ]
    shown = dict(zip(titles, cells))
    assert (shown["rating"], shown["heuristic rating"]) == ("6.2 ± 3.9", "4.5 ± 2.9")
    screenshot(browser, shots, "run")

// The page: it draws what the server sends (positions, legal cells, scores, the network's view)
// and reports clicks. It knows no rule: legality, scores and pieces held are the engine's.
"use strict";

const COLOURS = ["#d92626", "#2659d9", "#f2cc1a", "#33a640"];
const NAMES = ["red", "blue", "yellow", "green"];
const SVG = "http://www.w3.org/2000/svg";

const $ = (id) => document.getElementById(id);

async function api(method, url, body) {
  const options = { method, headers: {} };
  if (body !== undefined) {
    options.headers["Content-Type"] = "application/json";
    options.body = JSON.stringify(body);
  }
  const response = await fetch(url, options);
  let data = null;
  try {
    data = await response.json();
  } catch (error) {
    data = null;
  }
  if (!response.ok) {
    throw new Error(data && data.error ? data.error : `${response.status} ${response.statusText}`);
  }
  return data;
}

function svgElement(tag, attributes, parent) {
  const element = document.createElementNS(SVG, tag);
  for (const [name, value] of Object.entries(attributes)) element.setAttribute(name, value);
  if (parent) parent.appendChild(element);
  return element;
}

// Draws a board of `side` after `history`; `legal` cells get a dot, `laying` cells an outline,
// `heat` (a share per cell) and `shares` ([tile, share] pairs) a translucent overlay.
function drawBoard(svg, { side, history, legal = [], laying = [], heat = null, shares = null }) {
  svg.setAttribute("viewBox", `0 0 ${side} ${side}`);
  svg.replaceChildren();
  svg.dataset.side = side;
  const owners = new Array(side * side).fill(-1);
  for (const [player, tile] of history) owners[tile] = player;
  const legalSet = new Set(legal);
  for (let cell = 0; cell < side * side; cell++) {
    const rect = svgElement("rect", {
      x: cell % side, y: Math.floor(cell / side), width: 1, height: 1,
      fill: owners[cell] >= 0 ? COLOURS[owners[cell]] : "#ffffff",
      class: legalSet.has(cell) ? "cell legal" : "cell",
      "data-cell": cell,
      "data-owner": owners[cell],
    }, svg);
    rect.appendChild(document.createElementNS(SVG, "title")).textContent =
      `row ${Math.floor(cell / side)}, column ${cell % side}`;
  }
  const overlay = (values, className) => {
    const top = Math.max(...values.map(([, share]) => share), 1e-9);
    for (const [tile, share] of values) {
      if (share <= 0) continue;
      const rect = svgElement("rect", {
        x: tile % side, y: Math.floor(tile / side), width: 1, height: 1,
        class: className, "fill-opacity": (0.15 + 0.75 * share / top).toFixed(3),
        "data-cell": tile, "data-share": share,
      }, svg);
      rect.appendChild(document.createElementNS(SVG, "title")).textContent =
        `${(100 * share).toFixed(1)}%`;
    }
  };
  if (heat) overlay(heat.map((share, tile) => [tile, share]), "heat");
  if (shares) overlay(shares, "share");
  for (const cell of legalSet) {
    svgElement("circle", {
      cx: cell % side + 0.5, cy: Math.floor(cell / side) + 0.5, r: 0.14, class: "legal-mark",
    }, svg);
  }
  for (const cell of laying) {
    svgElement("rect", {
      x: cell % side + 0.1, y: Math.floor(cell / side) + 0.1, width: 0.8, height: 0.8,
      class: "laying",
    }, svg);
  }
}

function pieceIcon(cells, colour) {
  const rows = Math.max(...cells.map(([row]) => row)) + 1;
  const columns = Math.max(...cells.map(([, column]) => column)) + 1;
  const icon = svgElement("svg", { viewBox: `0 0 ${columns} ${rows}`, width: columns * 7 });
  for (const [row, column] of cells) {
    svgElement("rect", {
      x: column, y: row, width: 1, height: 1, fill: colour, stroke: "#fff", "stroke-width": 0.1,
    }, icon);
  }
  return icon;
}

// The players' panel: who plays each colour, scores, payoffs at the end, the network's values
// when shown, and the pieces each still holds (as the engine lists them).
function drawPlayers(container, { seats, toMove, scores = null, payoff = null, values = null,
                                  pieces = null, squares = null }) {
  container.replaceChildren();
  for (let player = 0; player < 4; player++) {
    const box = document.createElement("div");
    box.className = player === toMove ? "player to-move" : "player";
    box.dataset.player = player;
    const title = document.createElement("h3");
    const swatch = document.createElement("span");
    swatch.className = "swatch";
    swatch.style.background = COLOURS[player];
    title.append(swatch, `${NAMES[player]}: ${seats[player]}`);
    if (player === toMove) title.append(" (to move)");
    const figures = document.createElement("div");
    figures.className = "figures";
    const parts = [];
    if (scores) parts.push(`score <span class="score">${scores[player]}</span>`);
    if (squares) parts.push(`<span class="squares">${squares[player]}</span> squares`);
    if (payoff) parts.push(`payoff <span class="payoff">${payoff[player].toFixed(2)}</span>`);
    if (values) parts.push(`value <span class="value">${values[player].toFixed(3)}</span>`);
    figures.innerHTML = parts.join(" · ");
    box.append(title, figures);
    if (pieces) {
      const held = document.createElement("div");
      held.className = "pieces";
      held.title = `${pieces[player].length} pieces held`;
      for (const piece of pieces[player]) {
        const icon = pieceIcon(piece.cells, COLOURS[player]);
        icon.dataset.piece = piece.name;
        held.appendChild(icon);
      }
      box.appendChild(held);
    }
    container.appendChild(box);
  }
}

function say(element, text, refused = false) {
  element.textContent = text;
  element.classList.toggle("refused", refused);
}

// ---------------------------------------------------------------- the network's view
// Each view ("play", "watch") asks for the network's view of the position it shows; answers
// that arrive after the position changed are dropped.
const analyses = { play: { asked: 0, result: null }, watch: { asked: 0, result: null } };

async function analyse(view, side, history, over, redraw) {
  const state = analyses[view];
  const ticket = ++state.asked;
  const network = $(`analysis-network-${view}`).value;
  if (!$(`analysis-on-${view}`).checked || !network || over) {
    if (state.result !== null) {
      state.result = null;
      redraw();
    }
    return;
  }
  try {
    const result = await api("POST", "/api/analysis", { network, side, history });
    if (ticket === state.asked) state.result = result;
  } catch (error) {
    if (ticket === state.asked) state.result = null;
    say($(view === "play" ? "message" : "watch-message"), error.message, true);
  }
  if (ticket === state.asked) redraw();
}

// ---------------------------------------------------------------- play
let game = null;

function seatChoices(networks) {
  const choices = [["person", "person"], ["heuristic", "heuristic"], ["random", "random"]];
  for (const network of networks) choices.push([`network:${network.name}`, `network ${network.name}`]);
  return choices;
}

function drawGame() {
  if (!game) return;
  const analysis = analyses.play.result;
  drawBoard($("board-play"), {
    side: game.side, history: game.history, legal: game.legal, laying: game.laying,
    heat: analysis ? analysis.policy : null,
  });
  drawPlayers($("players"), {
    seats: game.seats, toMove: game.to_move, scores: game.scores, payoff: game.payoff,
    values: analysis ? analysis.values : null, pieces: game.pieces,
  });
  $("undo").disabled = !game.can_undo;
  let status;
  if (game.waiting === "over") {
    status = game.failure ? `Game over: ${game.failure}.`
      : "Game over. Payoffs: " + game.payoff.map((v, p) => `${NAMES[p]} ${v.toFixed(2)}`).join(", ");
  } else if (game.waiting === "person") {
    status = `${NAMES[game.to_move]} to move: lay a square on a marked cell` +
      (game.laying.length ? ` (piece of ${game.laying.length} so far)` : "");
  } else {
    status = "The engine's seats are playing...";
  }
  const line = $("status");
  line.textContent = status;
  line.dataset.waiting = game.waiting;
}

async function showGame(view) {
  game = view;
  drawGame();
  analyse("play", game.side, game.history, game.waiting === "over", drawGame);
  if (game.waiting === "engine") {
    try {
      await showGame(await api("POST", `/api/games/${game.id}/advance`));
    } catch (error) {
      say($("message"), error.message, true);
    }
  }
}

async function newGame() {
  const seats = [];
  for (let seat = 0; seat < 4; seat++) {
    const choice = $(`seat-${seat}`).value;
    seats.push(choice.startsWith("network:")
      ? { kind: "network", network: choice.slice("network:".length) } : { kind: choice });
  }
  const body = {
    side: Number($("side").value), seats, simulations: Number($("simulations").value),
  };
  say($("message"), "");
  try {
    await showGame(await api("POST", "/api/games", body));
  } catch (error) {
    say($("message"), error.message, true);
  }
}

async function clickCell(event) {
  const cell = event.target.dataset ? event.target.dataset.cell : undefined;
  if (cell === undefined || !game) return;
  try {
    const view = await api("POST", `/api/games/${game.id}/play`, { cell: Number(cell) });
    say($("message"), "");
    await showGame(view);
  } catch (error) {
    say($("message"), error.message, true);
  }
}

async function undo() {
  if (!game) return;
  try {
    say($("message"), "");
    await showGame(await api("POST", `/api/games/${game.id}/undo`));
  } catch (error) {
    say($("message"), error.message, true);
  }
}

// ---------------------------------------------------------------- watch
let record = null;
let step = 0;
let player = null;

async function loadSources() {
  const select = $("source");
  const chosen = select.value;
  const listing = await api("GET", "/api/records");
  select.replaceChildren();
  for (const source of listing.sources) {
    const option = new Option(source.name, source.name, false, source.name === chosen);
    select.add(option);
  }
}

function drawRecord() {
  if (!record) return;
  const n = record.history.length;
  const shown = record.history.slice(0, step);
  const shares = $("show-shares").checked && step < n ? record.shares[step] : null;
  const analysis = analyses.watch.result;
  drawBoard($("board-watch"), {
    side: record.side, history: shown, laying: step > 0 ? [record.history[step - 1][1]] : [],
    shares, heat: analysis ? analysis.policy : null,
  });
  const squares = [0, 0, 0, 0];
  for (const [p] of shown) squares[p]++;
  drawPlayers($("watch-players"), {
    seats: record.seats, toMove: step < n ? record.history[step][0] : null, squares,
    payoff: step === n ? record.payoff : null, values: analysis ? analysis.values : null,
  });
  const label = $("step-label");
  label.textContent = `action ${step} of ${n}` + (step === n ? " (the end)" : "");
  label.dataset.step = step;
  label.dataset.total = n;
  $("step-slider").value = step;
}

function setStep(next) {
  if (!record) return;
  step = Math.max(0, Math.min(record.history.length, next));
  drawRecord();
  analyse("watch", record.side, record.history.slice(0, step), step === record.history.length,
          drawRecord);
}

function stopPlaying() {
  if (player !== null) clearInterval(player);
  player = null;
  $("play-record").innerHTML = "&#9654;";
}

function togglePlaying() {
  if (player !== null || !record) {
    stopPlaying();
    return;
  }
  if (step >= record.history.length) setStep(0);
  $("play-record").innerHTML = "&#10074;&#10074;";
  player = setInterval(() => {
    if (step >= record.history.length) stopPlaying();
    else setStep(step + 1);
  }, 250);
}

async function openRecord() {
  stopPlaying();
  const source = $("source").value;
  const index = Number($("game-index").value);
  try {
    const url = `/api/records/game?source=${encodeURIComponent(source)}&index=${index}`;
    record = await api("GET", url);
    say($("watch-message"), "");
  } catch (error) {
    say($("watch-message"), error.message, true);
    return;
  }
  $("record-label").textContent =
    `${record.label} (${record.side} x ${record.side}; ${record.games} game(s) in the file)`;
  $("step-slider").max = record.history.length;
  setStep(0);
}

// ---------------------------------------------------------------- run
let runStamp = null;
const COLUMNS = [
  ["iteration", "iteration"], ["games", "games"], ["policy_loss", "policy loss"],
  ["value_loss", "value loss"], ["vs_random", "vs random"], ["vs_heuristic", "vs heuristic"],
  ["vs_best", "vs best"], ["heuristic_vs_random", "heuristic vs random"], ["promoted", "promoted"],
  ["rating", "rating"], ["heuristic_rating", "heuristic rating"],
];

function figure(row, key) {
  const value = row[key];
  if (value === null || value === undefined) return "";
  if (typeof value === "boolean") return value ? "yes" : "";
  const sigma = row[`${key}_sigma`];
  if (sigma !== undefined && sigma !== null) {  // a rating, the random player being 0
    return `${value.toFixed(1)} ± ${(1.96 * sigma).toFixed(1)}`;
  }
  if (row[`${key}_low`] !== undefined && row[`${key}_low`] !== null) {
    return `${value.toFixed(3)} [${row[`${key}_low`].toFixed(3)}, ${row[`${key}_high`].toFixed(3)}]`;
  }
  return Number.isInteger(value) ? String(value) : value.toFixed(4);
}

async function refreshRun() {
  let figures;
  try {
    figures = await api("GET", "/api/run/figures");
  } catch (error) {
    say($("run-status"), error.message, true);
    return;
  }
  const rows = figures.rows;
  say($("run-status"), `${figures.run}: ${rows.length} iteration(s); updated ` +
      new Date().toLocaleTimeString());
  $("run-status").dataset.iterations = rows.length;
  if (figures.stamp === runStamp) return;
  runStamp = figures.stamp;
  for (const name of ["win_rate", "losses"]) {
    $(`plot-${name}`).src = rows.length ? `/api/run/plots/${name}.png?v=${figures.stamp}` : "";
  }
  const table = $("run-table");
  table.replaceChildren();
  const head = table.insertRow();
  for (const [, title] of COLUMNS) head.appendChild(document.createElement("th")).textContent = title;
  for (const row of rows) {
    const line = table.insertRow();
    for (const [key] of COLUMNS) line.insertCell().textContent = figure(row, key);
  }
}

// ---------------------------------------------------------------- start
function showView(name) {
  for (const view of ["play", "watch", "run"]) {
    $(`view-${view}`).classList.toggle("hidden", view !== name);
    $(`tab-${view}`).classList.toggle("active", view === name);
  }
  if (name === "watch") loadSources().catch((error) => say($("watch-message"), error.message, true));
  if (name === "run") refreshRun();
}

async function start() {
  const setup = await api("GET", "/api/setup");
  $("side").value = setup.default_side;
  $("side").min = setup.sides[0];
  $("side").max = setup.sides[1];
  $("simulations").max = setup.max_simulations;
  const choices = seatChoices(setup.networks);
  for (let seat = 0; seat < 4; seat++) {
    const row = document.createElement("label");
    row.className = "seat";
    const swatch = document.createElement("span");
    swatch.className = "swatch";
    swatch.style.background = COLOURS[seat];
    const select = document.createElement("select");
    select.id = `seat-${seat}`;
    for (const [value, text] of choices) select.add(new Option(text, value));
    select.value = seat === 0 ? "person" : (choices[3] ? choices[3][0] : "heuristic");
    row.append(swatch, NAMES[seat], select);
    $("seats").appendChild(row);
  }
  for (const select of document.querySelectorAll(".analysis-network")) {
    for (const network of setup.networks) select.add(new Option(network.name, network.name));
  }
  $("new-game").addEventListener("click", newGame);
  $("undo").addEventListener("click", undo);
  $("board-play").addEventListener("click", clickCell);
  $("analysis-on-play").addEventListener("change", () => game && showGame(game));
  $("analysis-network-play").addEventListener("change", () => game && showGame(game));
  $("open-record").addEventListener("click", openRecord);
  $("step-slider").addEventListener("input", (event) => { stopPlaying(); setStep(Number(event.target.value)); });
  $("first").addEventListener("click", () => { stopPlaying(); setStep(0); });
  $("previous").addEventListener("click", () => { stopPlaying(); setStep(step - 1); });
  $("next").addEventListener("click", () => { stopPlaying(); setStep(step + 1); });
  $("last").addEventListener("click", () => { stopPlaying(); setStep(Infinity); });
  $("play-record").addEventListener("click", togglePlaying);
  $("show-shares").addEventListener("change", drawRecord);
  for (const id of ["analysis-on-watch", "analysis-network-watch"]) {
    $(id).addEventListener("change", () => setStep(step));
  }
  for (const tab of document.querySelectorAll(".tab")) {
    tab.addEventListener("click", () => showView(tab.dataset.view));
  }
  if (setup.run) setInterval(() => {
    if (!$("view-run").classList.contains("hidden")) refreshRun();
  }, setup.poll_seconds * 1000);
  document.body.dataset.ready = "yes";
}

start().catch((error) => say($("message"), `The page could not start: ${error.message}`, true));

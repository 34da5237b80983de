"""The training host's tests, in folders that mirror its sub-packages; the helpers they share
(games, networks, servers, files, processes) live beside this file."""

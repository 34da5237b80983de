"""The web page (``python -m tessarin_zero play``): play a game against networks and engine
players, see what a network makes of a position, step through recorded games, and follow a
run's figures. The engine plays every seat that is not a person's and says what is legal; the
page draws what the server sends and reports clicks."""

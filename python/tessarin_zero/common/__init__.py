"""What every part of the host shares: settings, error texts, processes and how they end."""

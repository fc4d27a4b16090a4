"""Strategies shipped with the package (the demo runs `crossover.Crossover`)."""

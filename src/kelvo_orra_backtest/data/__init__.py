"""Market data in: readers of published data files and the bundled sample."""

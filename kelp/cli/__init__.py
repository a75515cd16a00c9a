"""The kelp command."""

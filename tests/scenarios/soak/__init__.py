"""Shared pieces of the hostile-server and crash-safety scenarios."""

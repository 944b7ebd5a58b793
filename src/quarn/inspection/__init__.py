"""Inspection steps and their model back ends."""

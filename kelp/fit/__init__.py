"""The fit: fit_zscan or the refinement from each start, standard errors, the grid check, warnings."""

"""What one fit returns, whichever way its model is fitted."""
import dataclasses

import numpy as np


@dataclasses.dataclass(frozen=True)
class FitResult:
    """fit_zscan's result for a model fitted by fit_zscan; for a model fitted from its starts,
    the best start's optimum (then refined holds that optimum assessed)."""
    measurement: object
    settings: object
    start: dict        # name -> start value (all eight)
    fitted: dict       # name -> value after the fit (all eight; only settings.fit changed)
    error: float
    residuals: np.ndarray  # measured - model, scan after scan
    wall_time: float       # s, the fit (fit_zscan's call, or every start's refinement)
    integrator: object = None  # the IntegratorWatch that holds DLSODA's messages of the fit
    refined: object = None  # kelp.fit.assess.Assessment, unless the refinement was left out
    warnings: tuple = ()    # the sanity checks', the refinement's and the grid check's, in words
    notes: tuple = ()       # how the fit was made where it departs from the usual, in words

    @property
    def model(self):
        """Model transmittance at each measured point, shape (scans, n)."""
        m = self.measurement
        return m.transmittance - self.residuals.reshape(m.scans, len(m.positions))

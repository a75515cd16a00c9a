"""The sample's spectroscopic parameters as the core takes them: three cross-sections of the
five-level scheme, then five time constants (kelp_wrapper.fit_zscan's spec_pars order)."""

PARAMETER_NAMES = ("k1", "k2", "k3", "tau4", "tau5", "tau6", "tau7", "tau8")
PARAMETER_UNITS = {name: "cm²" if name.startswith("k") else "s" for name in PARAMETER_NAMES}
# The JSON result's units: plain ASCII.
PARAMETER_UNITS_ASCII = {name: "cm^2" if name.startswith("k") else "s" for name in PARAMETER_NAMES}
POPULATION_COUNT = 5

"""The sample's parameters as the core takes them.

The five-level scheme's eight (kelp_wrapper.fit_zscan's spec_pars order): three cross-sections,
then five time constants.  Beside them, the instantaneous absorption that the resolved model
adds to the attenuation law, dI/dz = -(alpha0 + alpha(N)) I - beta I^2 - gamma I^3, in SI
units; labs quote beta in cm/GW and gamma in cm^3/GW^2, which the table shows too.  And the
refraction it adds beside the attenuation, dphi/dz = k n2 I + sum_j kr_j (N_j - N_j(0)): a Kerr
index n2 (m^2/W; positive focuses) and refractive cross-sections kr2 .. kr5 of the levels
(cm^2: the phase per metre a unit population of level j adds relative to level 1).
"""

PARAMETER_NAMES = ("k1", "k2", "k3", "tau4", "tau5", "tau6", "tau7", "tau8")
INSTANTANEOUS = ("alpha0", "beta", "gamma")
REFRACTION = ("n2", "kr2", "kr3", "kr4", "kr5")
ALL_PARAMETERS = PARAMETER_NAMES + INSTANTANEOUS + REFRACTION

PARAMETER_UNITS = {**{name: "cm²" if name.startswith("k") else "s" for name in PARAMETER_NAMES},
                   "alpha0": "1/m", "beta": "m/W", "gamma": "m³/W²", "n2": "m²/W",
                   **{name: "cm²" for name in REFRACTION[1:]}}
# The JSON result's units: plain ASCII.
PARAMETER_UNITS_ASCII = {**{name: "cm^2" if name.startswith("k") else "s" for name in PARAMETER_NAMES},
                         "alpha0": "1/m", "beta": "m/W", "gamma": "m^3/W^2", "n2": "m^2/W",
                         **{name: "cm^2" for name in REFRACTION[1:]}}
# Lab units beside the SI ones: (factor from SI, unit). 1 m/W = 1e2 cm / 1e-9 GW.
LAB_UNITS = {"beta": (1e11, "cm/GW"), "gamma": (1e24, "cm³/GW²"), "n2": (1e4, "cm²/W")}
# Parameters that may be 0 (no such transition or term); the time constants divide a rate.
MAY_BE_ZERO = ("k1", "k2", "k3") + INSTANTANEOUS + REFRACTION
# Refraction has either sign (focusing or defocusing): fitted on a linear scale, not a log one.
SIGNED = REFRACTION
POPULATION_COUNT = 5

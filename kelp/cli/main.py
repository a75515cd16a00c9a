"""The kelp command: fit, simulate and batch."""
import argparse
import os
import sys

import kelp
from kelp.errors import InputError, ToolError

EPILOG = """\
settings: a TOML file (or JSON with the same keys); see examples/rsa.toml.
measurements: a header, then positions in mm first, one transmittance column per scan in the
order of the settings' pulse_energies; columns separated by commas, semicolons, tabs or spaces
(see --columns, --x-unit, --decimal-comma).
exit status: 0 success, 1 a fit failed or could not be written, 2 malformed input."""


def _settings_options(p):
    p.add_argument("-s", "--settings", required=True, metavar="FILE",
                   help="settings file (.toml, or .json)")
    p.add_argument("--set", dest="overrides", action="append", default=[], metavar="NAME=VALUE",
                   help="override one setting or parameter, e.g. --set k2=1e-17 --set n_starts=5 (repeatable)")


def _measurement_options(p):
    p.add_argument("--columns", metavar="POS,T1,...",
                   help="the position column, then one transmittance column per scan, by header name or "
                        "1-based number (default: the first column, then all others); other columns are ignored")
    p.add_argument("--x-unit", default="mm", choices=("mm", "cm", "m", "um"),
                   help="unit of the position column (default mm)")
    p.add_argument("--decimal-comma", action="store_true", help="numbers are written with decimal commas (0,98)")


def _format(args, settings):
    from kelp.io.measurement import Format
    return Format.parse(args.columns, args.x_unit, args.decimal_comma, settings.scans)


def _refine_options(p):
    p.add_argument("--no-refine", dest="refine", action="store_false",
                   help="fit_zscan's result alone: no refinement, standard errors or grid check")
    p.add_argument("--refit-fine-grid", dest="fine_grid", action="store_true",
                   help="refine once more on the doubled grid and report how far the parameters move")
    p.add_argument("--no-profile", dest="profile", action="store_false",
                   help="no profile-likelihood intervals (they re-optimise the others at each point of each "
                        "parameter's profile, several times the refinement's cost)")


def parser():
    top = argparse.ArgumentParser(prog="kelp", description="Fit Z-scan measurements with kelp_wrapper.",
                                  epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    top.add_argument("--version", action="version", version=f"kelp {kelp.__version__}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = commands.add_parser("fit", help="fit one measurement; write PREFIX.json and PREFIX.png",
                            description="Fit one measurement file; write a JSON result and a PNG figure.")
    p.add_argument("data", metavar="DATA.csv", nargs="?",
                   help="measurement file (optional when the settings' scan table names every scan's file)")
    _settings_options(p)
    p.add_argument("-o", "--output", metavar="PREFIX",
                   help="write PREFIX.json and PREFIX.png, and DLSODA's messages to PREFIX.log "
                        "(default: the data file's name, or the settings file's, with .fit)")
    _measurement_options(p)
    _refine_options(p)
    p.add_argument("--advise", metavar="LOW:HIGH[:N]",
                   help="advice on the next scan: the predicted standard errors with one more scan at each of N "
                        "pulse energies (J) from LOW to HIGH on a log scale (default N 7), or at E1,E2,... given")
    p.add_argument("--advise-detector", default="open", choices=("open", "closed"),
                   help="the detector of the advised scan (default open; closed where the model computes it)")
    p.add_argument("--advise-target", default="worst", choices=("worst", "correlation"),
                   help="what the advised scan shrinks most: the worst-determined parameter's standard error "
                        "(default) or the strongest correlation")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress line on the terminal")
    p.set_defaults(run=_fit)

    p = commands.add_parser("compare", help="fit several candidate models to one measurement and rank them",
                            description="Fit each candidate's settings to the same measurement and compare them: "
                                        "chisqr, reduced chisqr, AIC, AICc, BIC, a runs test of the residuals, "
                                        "and which models the data support and by how much.")
    p.add_argument("data", metavar="DATA.csv", nargs="?", help="measurement file (optional with a scan table)")
    p.add_argument("-s", "--settings", dest="candidates", action="append", required=True, metavar="FILE",
                   help="settings of one candidate (repeat, at least twice)")
    p.add_argument("--set", dest="overrides", action="append", default=[], metavar="NAME=VALUE",
                   help="override one setting or parameter of every candidate (repeatable)")
    p.add_argument("-o", "--output", metavar="PREFIX", help="also write the comparison to PREFIX.json")
    _measurement_options(p)
    p.add_argument("-q", "--quiet", action="store_true", help="no progress line on the terminal")
    p.set_defaults(run=_compare)

    p = commands.add_parser("calibrate", help="fit the beam on a reference sample; write a beam file",
                            description="Fit the beam (w0 or rayleigh_range, M2, focus, baseline: the settings' fit, "
                                        "default w0) on a reference sample whose coefficients the settings give, and "
                                        "write a beam file that a sample's settings name (beam = \"beam.toml\").")
    p.add_argument("data", metavar="REFERENCE.csv", nargs="?", help="measurement of the reference sample")
    _settings_options(p)
    p.add_argument("-o", "--output", metavar="BEAM.toml",
                   help="beam file to write (default: the reference's name with .beam.toml); the fit's JSON and "
                        "figure go beside it (.json, .png)")
    _measurement_options(p)
    p.add_argument("-q", "--quiet", action="store_true", help="no progress line on the terminal")
    p.set_defaults(run=_calibrate)

    p = commands.add_parser("simulate", help="write model curves of the settings as a measurement CSV",
                            description="Write the model transmittance of every scan of the settings as a "
                                        "measurement file, optionally with seeded Gaussian noise.")
    _settings_options(p)
    p.add_argument("-o", "--output", required=True, metavar="DATA.csv",
                   help="CSV file to write, '-' for standard output; DLSODA's messages go to DATA.simulate.log "
                        "(to standard error when the output is not a regular file)")
    p.add_argument("--x-min", type=float, default=-20.0, help="first position in mm (default -20)")
    p.add_argument("--x-max", type=float, default=20.0, help="last position in mm (default 20)")
    p.add_argument("--points", type=int, default=41,
                   help="positions per scan, at least 5 (default 41; an odd count puts one at the centre)")
    p.add_argument("--noise", type=float, default=0.0,
                   help="standard deviation of Gaussian noise added to the transmittance (default 0)")
    p.add_argument("--seed", type=int, default=1, help="seed of the noise (default 1)")
    p.set_defaults(run=_simulate)

    p = commands.add_parser("batch", help="fit many measurements concurrently; write a summary CSV",
                            description="Fit many measurement files with the same settings on a pool of "
                                        "threads, or on a Dask cluster (--scheduler). A file that cannot be "
                                        "read or fitted is reported and skipped; the others still finish. "
                                        "Ctrl-C stops the batch and writes the summary of what finished.")
    p.add_argument("data", nargs="+", metavar="DATA.csv", help="measurement files")
    _settings_options(p)
    p.add_argument("-d", "--out-dir", default=".", metavar="DIR",
                   help="where NAME.fit.json and NAME.fit.png go (default: the current directory)")
    p.add_argument("--summary", metavar="FILE", help="summary CSV (default: DIR/summary.csv)")
    p.add_argument("-j", "--jobs", type=int, metavar="N", help="concurrent fits (default: one per CPU core)")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="fit on the Dask cluster of this scheduler (e.g. tcp://host:8786) instead of local "
                        "threads; workers need kelp installed and run one fit per thread (dask worker --nthreads)")
    p.add_argument("--worker-wait", type=float, default=60.0, metavar="SECONDS",
                   help="with --scheduler: how long the cluster may be without workers before the files still "
                        "waiting are failed (default 60)")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    _measurement_options(p)
    _refine_options(p)
    p.set_defaults(run=_batch)
    return top


def _load(args, fitting=True):
    from kelp.io.settings import load_settings
    return load_settings(args.settings, args.overrides, fitting=fitting)


def _read(args, settings):
    """The measurement of DATA, or of the settings' scan table."""
    from kelp.io.measurement import read_measurement
    if args.data is None and not (settings.scans and all(scan.file for scan in settings.scans)):
        raise InputError(f"expected a measurement file: {settings.source} has no scan table naming every scan's file")
    return read_measurement(args.data, _format(args, settings))


def _fitted(args, settings, prefix, fit_function=None):
    """The measurement and its fit, its outputs checked before and its messages kept on failure."""
    from kelp.core import cancellation
    from kelp.run import progress
    cancellation.reset()
    from kelp.errors import FitFailed
    from kelp.files import check_output
    from kelp.fit.fitting import fit
    from kelp.core.integrator import IntegratorWatch
    from kelp.report.output import output_paths
    measurement = _read(args, settings)
    for path in output_paths(prefix):  # before the fit, not after minutes of it
        check_output(path)
    watch = IntegratorWatch()
    refine, fine_grid = getattr(args, "refine", True), getattr(args, "fine_grid", False)
    profile = getattr(args, "profile", False)
    try:
        result = progress.run(lambda: fit(measurement, settings, fit_function, watch, refine=refine,
                                          fine_grid=fine_grid, profile=profile), watch, progress.shown(args.quiet))
    except FitFailed:
        log = watch.save_log(output_paths(prefix)[2])
        watch.close()
        if log:
            print(f"kelp {args.command}: DLSODA's messages: {log}", file=sys.stderr)
        raise
    return measurement, result, watch


def _default_prefix(args, suffix):
    return os.path.splitext(args.data if args.data is not None else args.settings)[0] + suffix


def _fit(args, fit_function=None):
    from kelp.report.output import output_paths, write_result
    from kelp.report.table import table
    settings = _load(args)
    prefix = args.output or _default_prefix(args, ".fit")
    energies = _advised_energies(args.advise) if args.advise else None
    if energies is not None and not args.refine:  # before the fit, not after it
        raise InputError("--advise: advice on the next scan needs the refined optimum; drop --no-refine")
    measurement, result, watch = _fitted(args, settings, prefix, fit_function)
    if energies is not None:
        with watch.attached():  # the candidates' model evaluations log and count as the fit's
            result = _with_advice(result, energies, args.advise_detector, args.advise_target)
    json_path, png_path = write_result(result, prefix)
    from kelp.models import registry
    label = registry.get(settings.model).label()
    model = f", {label}" if label else ""
    print(f"fit of {measurement.path} ({measurement.describe()}) with {args.settings}{model}")
    print(table(result))
    print(f"result: {json_path}")
    print(f"figure: {png_path}")
    summary = watch.summary(output_paths(prefix)[2])
    if summary:
        print(summary)
    return 0


def _advised_energies(text):
    """--advise LOW:HIGH[:N] or E1,E2,...: the candidate pulse energies in J."""
    from kelp.fit.design import energies_between
    try:
        if ":" in text:
            parts = text.split(":")
            if len(parts) not in (2, 3):
                raise ValueError
            low, high = float(parts[0]), float(parts[1])
            count = int(parts[2]) if len(parts) == 3 else 7
            if not (0 < low <= high and count >= 1 and high < float("inf")):
                raise ValueError
            return energies_between(low, high, count)
        energies = tuple(float(v) for v in text.split(","))
        if not energies or not all(0 < e < float("inf") for e in energies):
            raise ValueError
        return energies
    except ValueError:
        raise InputError(f"--advise: expected LOW:HIGH[:N] or E1,E2,... in J, positive and LOW <= HIGH, "
                         f"found {text!r}") from None


def _with_advice(result, energies, detector, target):
    import dataclasses
    from kelp.fit.design import advise
    if result.refined is None:
        raise InputError("--advise: advice on the next scan needs the refined optimum, and the refinement failed "
                         "(see the warnings of kelp fit without --advise)")
    return dataclasses.replace(result, refined=dataclasses.replace(
        result.refined, advice=advise(result, energies, detector=detector, target=target)))


def _compare(args, fit_function=None):
    from kelp.core import cancellation
    from kelp.core.integrator import IntegratorWatch
    from kelp.files import check_output
    from kelp.fit.compare import compare
    from kelp.io.settings import load_settings
    from kelp.report.output import write_json
    from kelp.run import progress
    if len(args.candidates) < 2:
        raise InputError(f"expected at least two candidates (-s a.toml -s b.toml), found {len(args.candidates)}")
    cancellation.reset()
    settings = [load_settings(path, args.overrides) for path in args.candidates]
    measurements = [_read(args, s) for s in settings]
    json_path = args.output + ".json" if args.output else None
    if json_path:
        check_output(json_path)
    watch = IntegratorWatch()
    comparison = progress.run(lambda: compare(measurements, settings, fit_function=fit_function, watch=watch),
                              watch, progress.shown(args.quiet))
    print(f"comparison of {len(settings)} candidates on {measurements[0].path} ({measurements[0].describe()})")
    print(comparison.table())
    if json_path:
        write_json(json_path, {"data_file": measurements[0].path, "settings_files": list(args.candidates),
                               "overrides": list(args.overrides), **comparison.document()})
        print(f"result: {json_path}")
    watch.close()
    return 0 if comparison.ranking else 1


def _calibrate(args, fit_function=None):
    from kelp.files import check_output
    from kelp.fit.calibration import beam_of, check_reference
    from kelp.io.beam import write_beam
    from kelp.report.output import write_result
    from kelp.report.table import table
    settings = check_reference(_load(args), args.settings)
    beam_path = args.output or _default_prefix(args, ".beam.toml")
    prefix = os.path.splitext(beam_path)[0]
    if prefix.endswith(".beam"):
        prefix = prefix[:-len(".beam")] + ".calibrate"
    check_output(beam_path)
    measurement, result, watch = _fitted(args, settings, prefix, fit_function)
    beam = beam_of(result, args.settings)
    json_path, png_path = write_result(result, prefix)
    write_beam(beam_path, beam)
    print(f"calibration on {measurement.path} ({measurement.describe()}) with {args.settings}")
    print(table(result))
    print(f"beam: {beam_path} (w0 {beam.w0:.5g} ± {beam.w0_se:.2g} m, M2 {beam.M2:.4g} ± {beam.M2_se:.2g})")
    print(f"result: {json_path}")
    print(f"figure: {png_path}")
    summary = watch.summary(prefix + ".log")
    if summary:
        print(summary)
    return 0


def _simulate(args, fit_function=None):
    from kelp.files import STDOUT, check_output, is_regular
    from kelp.models.forward import positions, simulate
    from kelp.core.integrator import IntegratorWatch
    from kelp.io.measurement import MIN_POSITIONS, write_curves
    settings = _load(args, fitting=False)
    if args.points < MIN_POSITIONS:
        raise InputError(f"--points: expected at least {MIN_POSITIONS} positions, found {args.points}")
    if not args.x_max > args.x_min:
        raise InputError(f"--x-max: expected a position above --x-min ({args.x_min}), found {args.x_max}")
    if not args.noise >= 0:
        raise InputError(f"--noise: expected a standard deviation of 0 or more, found {args.noise}")
    # A log beside a regular file only; a pipe, a device or standard output gets none.
    regular = is_regular(args.output)
    log_path = os.path.splitext(args.output)[0] + ".simulate.log" if regular else None
    for path in (args.output, log_path) if regular else (args.output,):
        check_output(path)
    watch = IntegratorWatch() if regular else IntegratorWatch(fd=2)
    x = positions(args.x_min, args.x_max, args.points)
    with watch.attached():
        curves = simulate(settings, x, noise=args.noise, seed=args.seed)
    if not regular:
        watch.flush_tail()  # what the bound left out, after the messages it let through
    write_curves(args.output, x, settings.pulse_energies, curves, settings.detectors())
    # Standard output may be the data itself: then the report goes to standard error.
    report = sys.stdout if regular else sys.stderr
    noise = f", noise {args.noise:g} (seed {args.seed})" if args.noise > 0 else ""
    name = "standard output" if args.output == STDOUT else args.output
    from kelp.models import registry
    print(f"wrote {name}: {len(settings.pulse_energies)} scans x {len(x)} positions, "
          f"{registry.get(settings.model).name} model{noise}", file=report)
    if regular:
        watch.save_log(log_path)
    summary = watch.summary(log_path or "standard error")
    if summary:
        print(summary, file=report)
    return 0


def _batch(args, fit_function=None):
    from kelp.run.batch import BatchInterrupted, run_batch, write_summary
    if args.jobs is not None and args.jobs < 1:
        raise InputError(f"--jobs: expected 1 or more, found {args.jobs}")
    if args.jobs is not None and args.scheduler:
        raise InputError("--jobs: with --scheduler the workers' threads decide how many fits run at once "
                         "(dask worker --nthreads); drop --jobs")
    if not args.worker_wait >= 0:
        raise InputError(f"--worker-wait: expected 0 or more seconds, found {args.worker_wait}")
    settings = _load(args)
    fmt = _format(args, settings)
    summary = args.summary or os.path.join(args.out_dir, "summary.csv")
    _check_batch_outputs(args.data, args.out_dir, summary)
    try:
        outcomes = run_batch(args.data, settings, args.out_dir, jobs=args.jobs, progress=not args.no_progress,
                             fit_function=fit_function, fmt=fmt, refine=args.refine, fine_grid=args.fine_grid,
                             profile=args.profile,
                             scheduler=args.scheduler, worker_wait=args.worker_wait)
    except BatchInterrupted as e:
        write_summary(summary, e.outcomes, settings)
        fitted = sum(o.result is not None for o in e.outcomes)
        not_run = sum(o.not_run for o in e.outcomes)
        print(f"interrupted: fitted {fitted} of {len(e.outcomes)} files, {not_run} not run", file=sys.stderr)
        print(f"summary: {summary}")
        return 130
    write_summary(summary, outcomes, settings)
    failed = sum(o.result is None for o in outcomes)
    print(f"fitted {len(outcomes) - failed} of {len(outcomes)} files"
          + (f"; {failed} failed (see the messages above and the summary)" if failed else ""))
    print(f"summary: {summary}")
    return 1 if failed else 0


def _check_batch_outputs(paths, out_dir, summary):
    """Every result file and the summary must be writable before the first fit starts."""
    from kelp.run.batch import output_prefix
    from kelp.files import check_output
    from kelp.report.output import output_paths
    for path in paths:
        for out in output_paths(output_prefix(out_dir, path)):
            check_output(out)
    check_output(summary)


def main(argv=None, fit_function=None):
    """Run the kelp command; returns its exit status.  fit_function stands in for fit_zscan."""
    args = parser().parse_args(argv)
    try:
        return args.run(args, fit_function)
    except ToolError as e:
        print(f"kelp {args.command}: error: {e}", file=sys.stderr)
        return e.exit_status
    except OSError as e:
        name = f" {e.filename}" if e.filename else ""
        print(f"kelp {args.command}: error: cannot write{name}: {e.strerror or e}", file=sys.stderr)
        return 1
    except ModuleNotFoundError as e:
        if e.name not in ("matplotlib", "tqdm"):
            raise
        print(f"kelp {args.command}: error: the kelp command needs {e.name} (Debian: python3-{e.name})",
              file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        from kelp.core import cancellation
        cancellation.cancel()  # what still runs on other threads stops at its next evaluation
        print(f"kelp {args.command}: interrupted", file=sys.stderr)
        return 130

"""What a fit leaves behind on disk: the JSON result, the PNG figure and DLSODA's log."""
import json
import math

from kelp.files import atomic_write
from kelp.report.document import result_document
from kelp.report.figure import save_figure


def _plain(value):
    """JSON has no NaN or infinity: such values are written as null."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    return value


def _dumps(value, indent=""):
    """Indented objects, but each list of numbers on one line: a scan's values stay readable."""
    if isinstance(value, dict) and value:
        inner = indent + "  "
        items = [f"{inner}{json.dumps(k)}: {_dumps(v, inner)}" for k, v in value.items()]
        return "{\n" + ",\n".join(items) + "\n" + indent + "}"
    if isinstance(value, list) and any(isinstance(v, dict) for v in value):
        inner = indent + "  "
        return "[\n" + ",\n".join(inner + _dumps(v, inner) for v in value) + "\n" + indent + "]"
    return json.dumps(value, allow_nan=False, ensure_ascii=False)


def write_json(path, document):
    with atomic_write(path) as f:
        f.write(_dumps(_plain(document)) + "\n")


def output_paths(prefix):
    """The files of one result: prefix.json, prefix.png and prefix.log (DLSODA's messages)."""
    return prefix + ".json", prefix + ".png", prefix + ".log"


def write_result(result, prefix):
    """prefix.png, prefix.log when DLSODA wrote messages, then prefix.json (which names them);
    returns the paths of the JSON and the figure."""
    json_path, png_path, log_path = output_paths(prefix)
    if result.integrator is not None:
        with result.integrator.attached():  # the figure's model curve integrates too
            save_figure(result, png_path)
    else:
        save_figure(result, png_path)
    document = result_document(result, png_path)
    if result.integrator is not None:
        document["integrator_log"] = result.integrator.save_log(log_path)
        result.integrator.close()
    write_json(json_path, document)
    return json_path, png_path

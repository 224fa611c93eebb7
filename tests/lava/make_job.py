"""Writes what lava-run needs for the system test: the example device
dictionary rendered with lava-server's device types (the UART ttyAMA1 added
as a file), the dispatcher configuration, and the example job with the
images' URLs, the test definition inline (twice: a quick run of every
measurement, then one where latency fails and bandwidth is killed after
RUN_TIMEOUT before syscall runs) and a last test that copies every JSON Lines file
the runs wrote to ttyAMA1, so that the host sees boardmark's bytes besides
the job log.

    make_job.py SOURCE_DIR DEVICE_TYPES IMAGES_DIR WORK_DIR
"""

import os
import sys

import jinja2
import yaml

DEVICE = "vexpress-a9"
# (definition name, OUTPUT_DIR, parameters): the runs of the job.
RUNS = (
    ("boardmark", "/tmp/boardmark-lava", {
        "MODE": "quick",
        "DEVICE": DEVICE,
        "MEASUREMENTS": "latency bandwidth pipe syscall",
        "LATENCY_OPTIONS": "--max 64k",
        "BANDWIDTH_OPTIONS": "--size 64k --op read --workers 1,2",
    }),
    # More memory than the board has: latency fails; bandwidth with its
    # defaults outlasts the time allowed and is ended; syscall still runs.
    ("boardmark-failing", "/tmp/boardmark-lava-failing", {
        "MODE": "quick",
        "DEVICE": DEVICE,
        "MEASUREMENTS": "latency bandwidth syscall",
        "LATENCY_OPTIONS": "--max 1g",
        "RUN_TIMEOUT": "4",
    }),
)
# What becomes of a run's measurements other than passing: "failed"
# (boardmark exits with 1), "ended" (RUN_TIMEOUT ends it).
OUTCOMES = {("boardmark-failing", "latency"): "failed",
            ("boardmark-failing", "bandwidth"): "ended"}
UART_FILE = "uart1.jsonl"


def main():
    source, device_types, images, work = sys.argv[1:5]
    lava = os.path.join(source, "lava")
    examples = os.path.join(lava, "examples")

    env = jinja2.Environment(loader=jinja2.FileSystemLoader([examples, device_types]),
                             trim_blocks=True, autoescape=False)
    device = yaml.safe_load(env.get_template("vexpress-a9.jinja2").render())
    options = device["actions"]["boot"]["methods"]["qemu"]["parameters"]["options"]
    # The console stays on standard input and output; ttyAMA1 goes to a file.
    options += ["-serial mon:stdio", "-serial file:" + os.path.join(work, UART_FILE)]
    with open(os.path.join(work, "device.yaml"), "w") as out:
        yaml.safe_dump(device, out)
    with open(os.path.join(work, "dispatcher.yaml"), "w") as out:
        yaml.safe_dump({"dispatcher_ip": "127.0.0.1"}, out)

    with open(os.path.join(examples, "vexpress-a9-job.yaml")) as f:
        job = yaml.safe_load(f)
    with open(os.path.join(lava, "boardmark.yaml")) as f:
        definition = yaml.safe_load(f)
    for action in job["actions"]:
        if "deploy" in action:
            for image in action["deploy"]["images"].values():
                image["url"] = "file://" + os.path.join(images, os.path.basename(image["url"]))
        if "test" in action:
            test = action["test"]
    definitions = []
    copies = []
    for name, output_dir, parameters in RUNS:
        definitions.append({
            "from": "inline", "repository": definition, "path": "inline/boardmark.yaml",
            "name": name, "parameters": dict(parameters, OUTPUT_DIR=output_dir)})
        copies += [output_dir + "/" + m + ".jsonl" for m in parameters["MEASUREMENTS"].split()]
    definitions.append({
        "from": "inline", "path": "inline/copy.yaml", "name": "copy-to-uart",
        "repository": {
            "metadata": {"format": "Lava-Test Test Definition 1.0", "name": "copy-to-uart",
                         "description": "the runs' JSON Lines to ttyAMA1"},
            "run": {"steps": ["stty -F /dev/ttyAMA1 raw -echo",
                              "cat " + " ".join(copies) + " >/dev/ttyAMA1"]}}})
    test["definitions"] = definitions
    with open(os.path.join(work, "job.yaml"), "w") as out:
        yaml.safe_dump(job, out, sort_keys=False)
    # What the board wrote, in order, for the checks.
    with open(os.path.join(work, "runs.txt"), "w") as out:
        for name, output_dir, parameters in RUNS:
            out.write("%s %s\n" % (name, parameters["MEASUREMENTS"]))


if __name__ == "__main__":
    main()

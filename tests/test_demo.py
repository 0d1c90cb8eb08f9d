"""The README's demo: its table and its figure."""
import struct
import subprocess
import sys
from pathlib import Path

import ondulix

DEMO = Path(__file__).resolve().parent.parent / "examples" / "demo.py"


def test_demo_prints_a_table_and_renders_the_figure(tmp_path):
    figure = tmp_path / "figures" / "waveforms.png"
    proc = subprocess.run([sys.executable, str(DEMO), "--output", str(figure)],
                          capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    lines = proc.stdout.splitlines()

    # A summary row per waveform, then one row of samples for t = 0, 1, ..., 10.
    for name in ondulix.__all__:
        assert sum(line.startswith(name + " ") for line in lines) == 1, name
    rows = [line.split() for line in lines if line[:6].strip().replace(".", "").isdigit()]
    assert [float(row[0]) for row in rows] == [float(k) for k in range(11)]
    assert all(len(row) == 1 + len(ondulix.__all__) for row in rows)
    assert lines[-1] == f"wrote {figure}"

    data = figure.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    width, height = struct.unpack(">II", data[16:24])
    assert (width, height) == (1100, 1200)

#!/usr/bin/env python3
"""The latest measurement of a device from lumo-collect's database, as a PNG.

    python3 examples/plot_latest.py DB DIN [OUT.png]
"""
import sys

import lumo

if len(sys.argv) < 3:
    sys.exit(__doc__)
db, din = sys.argv[1], sys.argv[2]
png = sys.argv[3] if len(sys.argv) > 3 else f"{din}.png"
try:
    import matplotlib

    matplotlib.use("Agg")  # no display needed
    import matplotlib.pyplot as plt
except ImportError:
    sys.exit("this needs matplotlib (Debian: apt-get install python3-matplotlib)")

with lumo.Store(db) as store:
    latest = store.latest(din)
    if latest is None:
        sys.exit(f"no measurement of {din} in {db}")
    samples = store.samples(latest)

fig, ax = plt.subplots(figsize=(10, 4))
ax.plot(samples, linewidth=0.8)
ax.set(title=f"{din}, measured {latest.measured_at}, typeset {latest.typeset}",
       xlabel="sample", ylabel="value")
fig.tight_layout()
fig.savefig(png, dpi=100)
print(f"{png}: {len(samples)} samples")

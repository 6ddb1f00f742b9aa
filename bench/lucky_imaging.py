#!/usr/bin/python3
"""Lucky imaging figures on a sequence with seeing that varies from frame to frame.

    /usr/bin/python3 bench/lucky_imaging.py BUILD_DIR [FRAMES] [RUNS] [affinage]

Makes FRAMES (default 40) frames of 640x480 from the lunar sample with make-sequence
--blur-range 0.5,3, runs kalvorine on them and prints:
  - the Spearman correlation of the quality in qualite.lst with the true blur (and, for
    comparison, of two other measures computed here: plain gradient energy and the
    variance of the Laplacian, both over the mean level squared);
  - the RMS difference from sharp.bmp (the unblurred, undistorted reference view) and the
    sharpness (mean squared gradient) of the stack of all frames, of the best 25 %, of the
    best 25 % on ReferenceAuto 10, and on Reference = the truly sharpest frame;
  - the cost of the first pass per frame against the range workload's time per frame
    (median of RUNS runs, default 5, of the range workload with and without Selection 100).
With "affinage", every run (the stacks and their registration on sharp.bmp) also has the
line "Affinage 1". Needs numpy and Pillow.
"""
import os, shutil, subprocess, sys, tempfile, time
import numpy as np
from PIL import Image

build = os.path.abspath(sys.argv[1])
frames = int(sys.argv[2]) if len(sys.argv) > 2 else 40
runs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
refinement = "Affinage 1\n" if len(sys.argv) > 4 and sys.argv[4] == "affinage" else ""
kal = os.path.join(build, "kalvorine")
mkseq = os.path.join(build, "tools", "make-sequence")
work = tempfile.mkdtemp()


def view(path):
    return np.asarray(Image.open(path).convert("RGB")).astype(np.float64).sum(axis=2)


def central(a, frac=8):
    h, w = a.shape
    return a[h // frac:h - h // frac, w // frac:w - w // frac]


def ranks(v):
    order = np.argsort(v, kind="stable")
    r = np.empty(len(v))
    r[order] = np.arange(len(v))
    for x in np.unique(v):   # mean rank for ties
        m = v == x
        r[m] = r[m].mean()
    return r


def spearman(a, b):
    return float(np.corrcoef(ranks(np.asarray(a)), ranks(np.asarray(b)))[0, 1])


def gradient_energy(a):
    gx = a[:-1, 1:] - a[:-1, :-1]
    gy = a[1:, :-1] - a[:-1, :-1]
    return float((gx * gx + gy * gy).mean())


def band_energy(a):
    """Gradient energy of the view smoothed by [1 4 6 4 1] / 16 both ways (the quality's band)."""
    k = np.array([1, 4, 6, 4, 1]) / 16
    s = sum(k[i] * a[:, i:a.shape[1] - 4 + i] for i in range(5))
    s = sum(k[i] * s[i:s.shape[0] - 4 + i, :] for i in range(5))
    return gradient_energy(s)


def laplacian_var(a):
    l = a[1:-1, :-2] + a[1:-1, 2:] + a[:-2, 1:-1] + a[2:, 1:-1] - 4 * a[1:-1, 1:-1]
    return float(l.var())


def run(folder, script):
    with open(os.path.join(folder, "script.txt"), "w") as f:
        f.write(script)
    t0 = time.perf_counter()
    subprocess.run([kal, "script.txt"], cwd=folder, stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - t0


# --- The sequence --------------------------------------------------------------------------
seq = os.path.join(work, "seq")
subprocess.run([mkseq, "--out", seq, "--frames", str(frames), "--blur-range", "0.5,3", "--seed", "17",
                "--bloc", "none"], check=True, stdout=subprocess.DEVNULL)
truth = {}
for line in open(os.path.join(seq, "truth.txt")):
    if line.startswith("#"):
        continue
    f = line.split()
    truth[f[1]] = float(f[5])
sources = ["frame%02d.bmp" % i if frames < 100 else "frame%03d.bmp" % i for i in range(1, frames + 1)]
sources = [s for s in sorted(truth) if s != "reference.bmp"]
body = "".join("Source %s aligned%s\n" % (s, s[5:]) for s in sources)
common = "Angle -5 5 0.1\nTranslation 20 1\nCompositage sum.bmp\n" + refinement


def case(name, head, tail=""):
    folder = os.path.join(work, name)
    shutil.copytree(seq, folder)
    run(folder, head + body + common + tail + "Quitter \n")
    return folder


sharp = view(os.path.join(seq, "sharp.bmp"))
sharpest = min(sources, key=lambda s: truth[s])
c_all = case("all", "Reference reference.bmp\n")
c_best = case("best", "Reference reference.bmp\n", "Selection 25\n")
c_auto = case("auto", "", "ReferenceAuto 10\nSelection 25\n")
c_hand = case("hand", "Reference %s\n" % sharpest, "Selection 25\n")
c_all_b = case("allb", "Reference reference.bmp\n", "Bloc 32 8 3 0.25\n")
c_best_b = case("bestb", "Reference reference.bmp\n", "Selection 25\nBloc 32 8 3 0.25\n")
c_auto_b = case("autob", "", "ReferenceAuto 10\nSelection 25\nBloc 32 8 3 0.25\n")
c_hand_b = case("handb", "Reference %s\n" % sharpest, "Selection 25\nBloc 32 8 3 0.25\n")

# --- Ranking ---------------------------------------------------------------------------------
q = {}
for line in open(os.path.join(c_best, "qualite.lst")):
    f = line.split()
    q[f[1]] = float(f[2])
blur = [truth[s] for s in sources]
print("frames: %d, true blur %.3f .. %.3f px" % (len(sources), min(blur), max(blur)))
print("Spearman(quality, -blur): kalvorine %.4f" % spearman([q[s] for s in sources], [-b for b in blur]))
grad, lap = [], []
for s in sources:
    a = view(os.path.join(seq, s))
    m = central(a).mean()
    grad.append(gradient_energy(central(a)) / m ** 2)
    lap.append(laplacian_var(central(a)) / m ** 2)
print("Spearman(quality, -blur): plain gradient energy %.4f, Laplacian variance %.4f" %
      (spearman(grad, [-b for b in blur]), spearman(lap, [-b for b in blur])))


# --- Stacks ----------------------------------------------------------------------------------
def on_sharp_grid(folder):
    """The stack laid on sharp.bmp's grid: registered on it by kalvorine itself when the run's
    reference was not the reference view."""
    if folder in (c_all, c_best, c_all_b, c_best_b):
        return view(os.path.join(folder, "sum.bmp")), None
    reg = os.path.join(folder, "onsharp")
    os.mkdir(reg)
    shutil.copy(os.path.join(seq, "sharp.bmp"), reg)
    shutil.copy(os.path.join(folder, "sum.bmp"), os.path.join(reg, "stack.bmp"))
    run(reg, "Reference sharp.bmp\nSource stack.bmp out.bmp\nAngle -5 5 0.01\nTranslation 25 1\n"
             "Compositage onsharp.bmp\n" + refinement + "Quitter \n")
    return view(os.path.join(reg, "onsharp.bmp")), None


truth_sharpness = gradient_energy(central(sharp, 4))
truth_band = band_energy(central(sharp, 4))
rms = {}
for name, folder in (("all frames", c_all), ("best 25%", c_best), ("best 25%, ReferenceAuto 10", c_auto),
                     ("best 25%, Reference = sharpest frame (" + sharpest + ")", c_hand),
                     ("all frames, Bloc 32 8 3 0.25", c_all_b),
                     ("best 25%, Bloc 32 8 3 0.25", c_best_b),
                     ("same, ReferenceAuto 10, Bloc 32 8 3 0.25", c_auto_b),
                     ("same, Reference = sharpest, Bloc 32 8 3 0.25", c_hand_b)):
    stack, _ = on_sharp_grid(folder)
    d = central(stack, 4) - central(sharp, 4)
    rms[name] = float(np.sqrt((d * d).mean()) / 3)
    print("%-50s RMS from truth %6.3f grey levels, sharpness %5.1f %% of truth's (in the quality's band %5.1f %%)" %
          (name, rms[name], 100 * gradient_energy(central(stack, 4)) / truth_sharpness,
           100 * band_energy(central(stack, 4)) / truth_band))
print("best 25%% closer than all frames by %.1f %% (with Bloc: %.1f %%; ReferenceAuto 10 with Bloc: %.1f %%)" %
      (100 * (1 - rms["best 25%"] / rms["all frames"]),
       100 * (1 - rms["best 25%, Bloc 32 8 3 0.25"] / rms["all frames, Bloc 32 8 3 0.25"]),
       100 * (1 - rms["same, ReferenceAuto 10, Bloc 32 8 3 0.25"] / rms["all frames, Bloc 32 8 3 0.25"])))

# --- First pass cost -------------------------------------------------------------------------
# The range workload (8 frames, Angle -5 5 1, Translation 20 1, Bloc 32 8 4 1, a composite)
# against the pass alone: the sequence's frames with Selection 1 and no search (one frame
# registered trivially) less that one frame registered the same way; runs alternated,
# medians of `runs`.
rng = os.path.join(work, "range")
subprocess.run([mkseq, "--out", rng, "--seed", "9", "--frames", "8"], check=True, stdout=subprocess.DEVNULL)
script = open(os.path.join(rng, "script.txt")).read()
with_pass = "Reference reference.bmp\n" + body + "Selection 1\nQuitter \n"
best = [l.split()[1] for l in open(os.path.join(c_best, "qualite.lst")) if l.split()[3] == "1"][0]
range_t, pass_t, one_t = [], [], []
for k in range(runs):
    range_t.append(run(rng, script))
    pass_t.append(run(seq, with_pass))
    one_t.append(run(seq, "Reference reference.bmp\nSource %s out.bmp\nQuitter \n" % best))
r, p, o = (float(np.median(t)) for t in (range_t, pass_t, one_t))
n = len(sources)
print("range workload: %.4f s/frame; first pass alone: %.5f s/frame = %.1f %% of it" %
      (r / 8, (p - o) / n, 100 * ((p - o) / n) / (r / 8)))
shutil.rmtree(work)

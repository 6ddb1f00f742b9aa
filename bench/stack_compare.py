#!/usr/bin/python3
"""How far kalvorine's stack is from the ideal one on a make-sequence sequence: the ideal stack
averages every frame resampled with its true placement (bilinear); the RMS of the difference
to the composite's average (sum.bmp) is taken over the pixels at least MARGIN from the edges,
where every frame has data. Needs python3-opencv.

    /usr/bin/python3 bench/stack_compare.py SEQUENCE_FOLDER [MARGIN]
"""
import math, os, sys
import cv2
import numpy as np

folder = sys.argv[1]
margin = int(sys.argv[2]) if len(sys.argv) > 2 else 48
truth = [l.split() for l in open(os.path.join(folder, "truth.txt")) if l.strip() and not l.startswith("#")]
ref = cv2.imread(os.path.join(folder, "reference.bmp")).astype(np.float64)
h, w = ref.shape[:2]
cx, cy = w // 2, h // 2
ideal = np.zeros_like(ref)
for index, name, degrees, tx, ty in truth[1:]:
    a = math.radians(float(degrees))
    c, s = math.cos(a), math.sin(a)
    # aligned(q) = frame(C + t + R (q - C))
    m = np.array([[c, -s, cx + float(tx) - (c * cx - s * cy)], [s, c, cy + float(ty) - (s * cx + c * cy)]])
    frame = cv2.imread(os.path.join(folder, name)).astype(np.float64)
    ideal += cv2.warpAffine(frame, m, (w, h), flags=cv2.INTER_LINEAR | cv2.WARP_INVERSE_MAP)
ideal /= len(truth) - 1
stack = cv2.imread(os.path.join(folder, "sum.bmp")).astype(np.float64)
d = (stack - ideal)[margin:h - margin, margin:w - margin]
print("stack RMS difference from the ideal: %.3f grey levels (mean difference %.3f)" % (math.sqrt((d * d).mean()), d.mean()))

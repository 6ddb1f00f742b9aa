#!/usr/bin/python3
"""OpenCV's iterative rigid registration (findTransformECC, Euclidean motion) on a sequence made
by make-sequence, for comparison with kalvorine's "Affinage 1": writes ecc.lst in the format of
affinage.lst (frame, angle in degrees, dx, dy, correlation) and prints the seconds per frame.

    /usr/bin/python3 bench/ecc_compare.py SEQUENCE_FOLDER     (needs python3-opencv)
Then: registration-score SEQUENCE_FOLDER/ecc.lst SEQUENCE_FOLDER/truth.txt
"""
import math, os, sys, time
import cv2
import numpy as np

folder = sys.argv[1]
ref = cv2.imread(os.path.join(folder, "reference.bmp"), cv2.IMREAD_GRAYSCALE).astype(np.float32)
h, w = ref.shape
cx, cy = w // 2, h // 2
frames = sorted(f for f in os.listdir(folder) if f.startswith("frame") and f.endswith(".bmp"))
criteria = (cv2.TERM_CRITERIA_EPS | cv2.TERM_CRITERIA_COUNT, 100, 1e-6)
lines, spent = [], 0.0
for k, name in enumerate(frames, 1):
    img = cv2.imread(os.path.join(folder, name), cv2.IMREAD_GRAYSCALE).astype(np.float32)
    start = time.perf_counter()
    warp = np.eye(2, 3, dtype=np.float32)
    for level in (2, 1, 0):   # coarse to fine: the shifts reach 15 pixels and more
        f = 2.0 ** -level
        r, i = cv2.resize(ref, None, fx=f, fy=f, interpolation=cv2.INTER_AREA), cv2.resize(img, None, fx=f, fy=f, interpolation=cv2.INTER_AREA)
        warp[:, 2] *= f
        cc, warp = cv2.findTransformECC(r, i, warp, cv2.MOTION_EUCLIDEAN, criteria, None, 5)
        warp[:, 2] /= f
    spent += time.perf_counter() - start
    # warp maps reference pixel x to frame pixel W x; kalvorine's placement maps C + d to C + t + R d.
    c, s = float(warp[0, 0]), float(warp[1, 0])
    tx = float(warp[0, 2]) + c * cx - s * cy - cx
    ty = float(warp[1, 2]) + s * cx + c * cy - cy
    lines.append("%d %.6f %.4f %.4f %.6f\n" % (k, math.degrees(math.atan2(s, c)), tx, ty, cc))
with open(os.path.join(folder, "ecc.lst"), "w") as out:
    out.writelines(lines)
print("ECC: %.3f s per frame over %d frames" % (spent / max(len(frames), 1), len(frames)))

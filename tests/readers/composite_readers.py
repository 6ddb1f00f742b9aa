#!/usr/bin/python3
"""Whole runs of one kalvorine program whose files are opened by the readers astronomers use:
fitsverify and astropy for the FITS files, Pillow for the BMP and PNG files. The golden runs pin
the bytes; this checks that independent readers accept them and see the values and orientation
the program means.

  many      141 frames of 40x30, copies of five textured pictures, at angle 0: each aligned frame
            is its source moved by the shift of shift.lst; the FITS files hold the sums scaled by
            127/141 (a patch saturated in every frame gives 32385), row 0 the bottom row; the
            averaged BMP their single-precision average (254 there, not 255); the raw sums file
            ("Sommes") the exact sums, with the frame counts and the reference in its header.
  camera    16-bit grey frames as a cube written by astropy: fitsverify and astropy read the deep
            stack, Pillow its PNG, with the same values.

Exits 77 (skipped) when fitsverify, astropy, numpy or Pillow is missing.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import warnings

try:
    import numpy as np
    from astropy.io import fits
    from PIL import Image
except ImportError as missing:
    print(f"SKIP: {missing} (needs python3-astropy, python3-numpy and python3-pil)")
    sys.exit(77)
FITSVERIFY = shutil.which("fitsverify") or "/usr/bin/fitsverify"
if not os.access(FITSVERIFY, os.X_OK):
    print("SKIP: fitsverify is not installed (package fitsverify)")
    sys.exit(77)

failures = []


def fail(case, message):
    failures.append(message)
    print(f"FAIL [{case}] {message}")


def run_script(case, program, folder, script):
    """Runs the program on script in folder, standard input empty (a fatal stop ends instead of waiting)."""
    with open(os.path.join(folder, "script.txt"), "w") as out:
        out.write(script)
    with open(os.path.join(folder, "run.log"), "wb") as log:
        rc = subprocess.run([program, "script.txt"], cwd=folder, input=b"", stdout=log, stderr=subprocess.STDOUT,
                            timeout=120).returncode
    if rc != 0:
        fail(case, f"{os.path.basename(program)} exits {rc} (see {folder}/run.log)")
    return rc == 0


def read_rgb(path):
    """A 24-bit BMP through Pillow: rows top-down, channels red, green, blue."""
    with Image.open(path) as im:
        assert im.format == "BMP" and im.mode == "RGB", f"{path}: Pillow sees {im.format} {im.mode}"
        return np.asarray(im, dtype=np.int64)


def write_bmp(path, rgb):
    Image.fromarray(np.asarray(rgb, dtype=np.uint8), "RGB").save(path, format="BMP")


def read_fits(case, path, expected, checksum=False):
    """The data of a one-HDU FITS file that fitsverify passes (without a warning when checksum)
    and astropy opens without a warning, its header holding the expected values; None if not."""
    done = subprocess.run([FITSVERIFY, path], input="", capture_output=True, text=True, errors="replace", timeout=60)
    verdict = re.search(r"Verification found (\d+) warning\(s\) and (\d+) error\(s\)", done.stdout)
    if done.returncode != 0 or verdict is None or verdict[2] != "0" or (checksum and verdict[1] != "0"):
        fail(case, f"fitsverify on {path} (exit {done.returncode}):\n{done.stdout}{done.stderr}")
    name = os.path.basename(path)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            with fits.open(path, memmap=False, checksum=checksum) as hdul:
                hdul.verify("exception")
                header, data = hdul[0].header, hdul[0].data
                if len(hdul) != 1:
                    fail(case, f"{name}: astropy sees {len(hdul)} HDUs")
        except (Warning, OSError, ValueError, fits.VerifyError) as problem:
            fail(case, f"astropy cannot open {name} cleanly: {type(problem).__name__}: {problem}")
            return None
    for keyword, value in expected.items():
        if header.get(keyword) != value or type(header.get(keyword)) is not type(value):
            fail(case, f"{name}: {keyword} = {header.get(keyword)!r}, expected {value!r}")
    return data


def expect_equal(case, what, actual, expected):
    if actual.shape != expected.shape or not np.array_equal(actual, expected):
        wrong = np.argwhere(actual != expected)[0] if actual.shape == expected.shape else "shape"
        fail(case, f"{what}: {actual.shape} {actual.dtype} differs from the expected {expected.shape} at {wrong}")


def lay_on_grid(sums, image, dx, dy):
    """Adds image (top-down) into sums so that grid cell (x, y) takes pixel (x+dx, y+dy)."""
    height, width = sums.shape[:2]
    x0, x1, y0, y1 = max(0, -dx), min(width, width - dx), max(0, -dy), min(height, height - dy)
    if x0 < x1 and y0 < y1:
        sums[y0:y1, x0:x1] += image[y0 + dy:y1 + dy, x0 + dx:x1 + dx]


def read_shifts(folder):
    return [tuple(int(v) for v in line.split()[:2]) for line in open(os.path.join(folder, "shift.lst"))]


def case_many(program, work):
    case, frames, width, height = "many", 141, 40, 30
    folder = os.path.join(work, case)
    os.makedirs(folder)
    rng = np.random.default_rng(2002)
    texture = rng.integers(30, 226, size=(height, width, 3))
    pictures = []
    for variant in range(5):
        picture = np.clip(texture + rng.integers(-25, 26, size=texture.shape), 0, 255)
        picture[2:8, 3:11] = 255   # saturated in every frame: the largest value
        picture[20:26, 28:36] = 0   # black in every frame
        picture[12:16, 16:20] = [variant * 60, 255 - variant * 50, variant * 13]
        pictures.append(picture)
    write_bmp(os.path.join(folder, "reference.bmp"), pictures[0])
    for index in range(1, frames + 1):
        write_bmp(os.path.join(folder, f"frame{index}.bmp"), pictures[(index - 1) % 5])
    if not run_script(case, program, folder, f"Reference reference.bmp\nSourcesbmp frame aligned 1 {frames}\n"
                                             "Angle 0 0 1\nTranslation 0 1\nOptiTranslation 1\n"
                                             "Compositage many.composite.bmp\nSommes many.sums.fit\nQuitter \n"):
        return
    sums = np.zeros(pictures[0].shape, dtype=np.int64)
    for index, (dx, dy) in enumerate(read_shifts(folder), start=1):
        # Aligned pixel (x, y) is source pixel (x + dx, y + dy), or black outside the frame.
        moved = np.zeros(pictures[0].shape, dtype=np.int64)
        lay_on_grid(moved, pictures[(index - 1) % 5], dx, dy)
        expect_equal(case, f"aligned{index}.bmp", read_rgb(os.path.join(folder, f"aligned{index}.bmp")), moved)
        sums += moved
    planes = []
    for suffix in ("R.fit", "V.fit", "B.fit"):
        data = read_fits(case, os.path.join(folder, "many" + suffix),
                         {"BITPIX": 16, "NAXIS": 2, "NAXIS1": width, "NAXIS2": height, "MIPS-HI": 256 * 127,
                          "MIPS-LO": 0, "BSCALE": None, "BZERO": None, "BLANK": None})
        planes.append(data if data is not None else np.zeros((height, width), dtype=np.int16))
    stored = np.stack(planes, axis=2)   # as astropy gives it: row 0 the bottom of the picture
    expect_equal(case, "the FITS files", stored[::-1], (sums * 127 // frames).astype(np.int16))
    # The averaged BMP: each sum in single precision times 1/n rounded to single, truncated.
    average = (sums.astype(np.float32) * np.float32(1.0 / frames)).astype(np.int64)
    expect_equal(case, "many.bmp", read_rgb(os.path.join(folder, "many.bmp")), average)
    data = read_fits(case, os.path.join(folder, "many.sums.fit"),
                     {"BITPIX": 32, "NAXIS": 3, "NAXIS3": 3, "KALKIND": "COMPOSITE", "PLANE1": "SOMME-R",
                      "NLISTED": frames, "NADDED": frames, "NRUNS": 1, "REFNAME": "reference.bmp",
                      "REFX0": width // 2, "REFY0": height // 2}, checksum=True)
    if data is not None:
        expect_equal(case, "many.sums.fit", np.moveaxis(data, 0, 2)[::-1], sums.astype(np.uint32))


def case_camera(program, make_sequence, work):
    case, folder, frames = "camera", os.path.join(work, "camera"), 4
    subprocess.run([make_sequence, "--out", folder, "--frames", str(frames), "--width", "160", "--height", "120",
                    "--seed", "15", "--max-rotation", "0", "--max-shift", "6"], capture_output=True, check=True)
    colour = [read_rgb(os.path.join(folder, n)) for n in ["reference.bmp"] + [f"frame{k:02d}.bmp" for k in range(1, 5)]]
    height, width = colour[0].shape[:2]
    ys, xs = np.mgrid[0:height, 0:width]
    grey16 = [((c[:, :, 0] + 2 * c[:, :, 1] + c[:, :, 2]) * 64 + (xs * 7 + ys * 13 + k * 5) % 64).astype(np.int64)
              for k, c in enumerate(colour)]
    # The frames as a cube written by astropy (row 0 the bottom row).
    fits.PrimaryHDU(np.stack([np.flipud(g) for g in grey16]).astype(np.uint16)).writeto(
        os.path.join(folder, "cube.fit"))
    if not run_script(case, program, folder, f"Reference cube.fit\nSequence cube.fit aligned 2 {frames + 1}\n"
                                             "Angle 0 0 1\nTranslation 10 1\nEmpilement stack.fit\n"):
        return
    # The values are pinned byte for byte by the golden camera runs: here only that the readers agree.
    data = read_fits(case, os.path.join(folder, "stack.fit"), {"BITPIX": -32, "NCOMBINE": frames, "DATAMAX": 65535})
    if data is None:
        return
    data = np.flipud(data).astype(np.float64)
    with Image.open(os.path.join(folder, "stack.png")) as im:
        if im.mode not in ("I;16", "I;16B", "I") or np.abs(np.asarray(im, dtype=np.int64) - np.trunc(data)).max() > 1:
            fail(case, f"stack.png (Pillow mode {im.mode}) does not hold the stack")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True, help="kalvorine or kalvorine-sse")
    parser.add_argument("--make-sequence", required=True)
    parser.add_argument("--work", required=True, help="folder for the runs (emptied first)")
    args = parser.parse_args()
    program, make_sequence, work = (os.path.abspath(p) for p in (args.program, args.make_sequence, args.work))
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    case_many(program, work)
    case_camera(program, make_sequence, work)
    print(f"{len(failures)} failure(s); the runs are in {work}" if failures else "all files read back as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

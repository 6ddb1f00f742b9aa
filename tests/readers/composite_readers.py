#!/usr/bin/python3
"""Whole runs of one kalvorine program whose files are opened by the readers astronomers use:
fitsverify and astropy for the FITS files, Pillow for the BMP and PNG files.

  sequence  4 frames of 160x120 rendered by make-sequence (angle search, blocks, composite):
            the averaged BMP must hold the average of the sums the FITS files hold.
  many      141 frames of 40x30, copies of five textured pictures, single angle 0: each
            aligned frame is its source moved by the whole-pixel shift of shift.lst, so the FITS
            values are the sums scaled by 127/141, exactly. A patch saturated in every frame gives
            the largest value, 32385, and an average of 254, not 255 (1/141 in single precision
            lies below 1/141). The raw sums file ("Sommes") holds the exact sums as unsigned
            32-bit planes, with the frame counts and the reference in its header.
  flat      127 copies of one flat-colour frame: the translation search has nothing to hold on
            to and takes the first shift it tries; the sums follow from shift.lst (scale 127/127).
  camera    16-bit grey frames as a SER video and as an astropy cube give the aligned files of
            the same frames as 8-bit BMP files; the deep stack is the mean of the moved 16-bit
            frames (astropy reads it, Pillow its PNG); an astropy RGB reference aligns as its BMP.

Every FITS file: fitsverify finds no error; astropy opens it without a warning, BITPIX 16,
NAXIS1 x NAXIS2 the reference size, MIPS-HI 256 x the scale; row 0 is the bottom row.
Exits 77 (skipped) when fitsverify, astropy, numpy or Pillow is missing.
"""

import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import warnings

SKIP = 77
try:
    import numpy as np
    from astropy.io import fits
    from astropy.utils.exceptions import AstropyWarning
    from PIL import Image
except ImportError as missing:
    print(f"SKIP: {missing} (needs python3-astropy, python3-numpy and python3-pil)")
    sys.exit(SKIP)

FITSVERIFY = "/usr/bin/fitsverify" if os.access("/usr/bin/fitsverify", os.X_OK) else shutil.which("fitsverify")
if FITSVERIFY is None:
    print("SKIP: fitsverify is not installed (package fitsverify)")
    sys.exit(SKIP)

failures = []


def fail(case, message):
    failures.append(f"[{case}] {message}")
    print(f"FAIL [{case}] {message}")


def run(command, cwd, log_name="run.log"):
    """Runs command in cwd with stdin closed (a fatal stop then ends instead of waiting)."""
    with open(os.path.join(cwd, log_name), "wb") as log:
        return subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                              timeout=120).returncode


def run_script(case, program, folder, script):
    with open(os.path.join(folder, "script.txt"), "w") as out:
        out.write(script)
    rc = run([program, "script.txt"], folder)
    if rc != 0:
        fail(case, f"{os.path.basename(program)} exits {rc} (see {folder}/run.log)")
    return rc == 0


def read_rgb(path):
    """A 24-bit BMP through Pillow: rows top-down, channels red, green, blue."""
    with Image.open(path) as im:
        if im.format != "BMP" or im.mode != "RGB":
            raise ValueError(f"{path}: Pillow sees {im.format} {im.mode}, not a 24-bit BMP")
        return np.asarray(im, dtype=np.int64)


def write_bmp(path, rgb):
    Image.fromarray(np.asarray(rgb, dtype=np.uint8), "RGB").save(path, format="BMP")


def fits_scale(n):
    return n if n <= 126 else 127


def average_of(sums, n):
    """The averaged BMP: each sum in single precision times 1/n rounded to single, truncated."""
    return (sums.astype(np.float32) * np.float32(1.0 / n)).astype(np.int64)


def averages_match(fits_values, bmp, n):
    """Where the BMP holds the average of a sum S the FITS value can come from:
    v = floor(S x scale / n), so S lies in [ceil(v n / scale), ceil((v + 1) n / scale) - 1]."""
    scale = fits_scale(n)
    lowest = -(-fits_values * n // scale)
    highest = -(-(fits_values + 1) * n // scale) - 1
    matches = np.zeros(fits_values.shape, dtype=bool)
    for extra in range(int((highest - lowest).max()) + 1):
        matches |= average_of(np.minimum(lowest + extra, highest), n) == bmp
    return matches


def check_fitsverify(case, path, warnings_allowed=True):
    done = subprocess.run([FITSVERIFY, path], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          errors="replace", timeout=60)
    verdict = re.search(r"Verification found (\d+) warning\(s\) and (\d+) error\(s\)", done.stdout)
    if verdict is None or int(verdict[2]) != 0 or (not warnings_allowed and int(verdict[1]) != 0):
        fail(case, f"fitsverify on {os.path.basename(path)} (exit {done.returncode}):\n{done.stdout}{done.stderr}")
    elif done.returncode != 0:
        fail(case, f"fitsverify exits {done.returncode} although it reports no error")


def open_fits(case, path, expected, checksum=False):
    """Header and data of a one-HDU FITS file that astropy opens without a warning and whose
    header holds the expected keyword values; None when it does not."""
    name = os.path.basename(path)
    with warnings.catch_warnings():
        warnings.simplefilter("error", Warning if checksum else AstropyWarning)
        try:
            with fits.open(path, mode="readonly", memmap=False, checksum=checksum) as hdul:
                hdul.verify("exception")
                header, data = hdul[0].header, hdul[0].data
                if len(hdul) != 1:
                    fail(case, f"{name}: astropy sees {len(hdul)} HDUs, expected the primary one alone")
        except (Warning, OSError, ValueError, fits.VerifyError) as problem:
            fail(case, f"astropy cannot open {name} cleanly: {type(problem).__name__}: {problem}")
            return None
    for keyword, value in expected.items():
        if header.get(keyword) != value or type(header.get(keyword)) is not type(value):
            fail(case, f"{name}: {keyword} = {header.get(keyword)!r}, expected {value!r}")
    return header, data


def first_difference(case, what, actual, expected):
    if not np.array_equal(actual, expected):
        wrong = actual != expected
        y, x, c = np.argwhere(wrong)[0]
        fail(case, f"{wrong.sum()} values of {what} differ; first at picture row {y} column {x} channel "
                   f"{'RGB'[c]}: {actual[y, x, c]}, expected {expected[y, x, c]}")


def check_composite(case, folder, base, width, height, n, expected_sums=None):
    """The four composite files of one run against each other and, when given, against the
    expected channel sums (top row first, channels red, green, blue)."""
    stored = []
    for suffix in ("R.fit", "V.fit", "B.fit"):
        path = os.path.join(folder, base + suffix)
        check_fitsverify(case, path)
        opened = open_fits(case, path, {"SIMPLE": True, "BITPIX": 16, "NAXIS": 2, "NAXIS1": width, "NAXIS2": height,
                                        "MIPS-HI": 256 * fits_scale(n), "MIPS-LO": 0})
        if opened is None:
            return
        header, data = opened
        for keyword in ("BSCALE", "BZERO", "BLANK"):
            if keyword in header:
                fail(case, f"{base}{suffix}: unexpected {keyword} keyword")
        if data.shape != (height, width) or data.dtype.kind != "i" or data.dtype.itemsize != 2:
            fail(case, f"{base}{suffix}: astropy array {data.shape} of {data.dtype}, expected ({height}, {width}) int16")
            return
        if data.min() < 0 or data.max() > 255 * fits_scale(n):
            fail(case, f"{base}{suffix}: values from {data.min()} to {data.max()}")
        stored.append(data.astype(np.int64))
    stored = np.stack(stored, axis=2)         # as astropy gives it: row 0 the bottom of the picture
    picture = stored[::-1]
    bmp = read_rgb(os.path.join(folder, base + ".bmp"))
    if bmp.shape != (height, width, 3):
        fail(case, f"Pillow reads {base}.bmp as {bmp.shape}, expected {width}x{height}")
        return
    matches = averages_match(picture, bmp, n)
    if not matches.all():
        y, x, c = np.argwhere(~matches)[0]
        fail(case, f"{(~matches).sum()} values of {base}.bmp are not the average of the FITS sums; first at row {y} "
                   f"column {x} channel {'RGB'[c]}: FITS {picture[y, x, c]}, BMP {bmp[y, x, c]}")
    if averages_match(stored, bmp, n).all():
        # The bottom-first order must matter here, or the check above proves nothing about it.
        fail(case, "the FITS files match the BMP upside down, or the picture reads the same both ways")
    if expected_sums is not None:
        first_difference(case, "the FITS files", picture, expected_sums * fits_scale(n) // n)
        first_difference(case, base + ".bmp", bmp, average_of(expected_sums, n))


def lay_on_grid(sums, image, dx, dy):
    """Adds image (top-down, H x W x channels) into sums so that grid cell (x, y) takes pixel (x+dx, y+dy)."""
    height, width = sums.shape[:2]
    h, w = image.shape[:2]
    x_begin, x_end = max(0, -dx), min(width, w - dx)
    y_begin, y_end = max(0, -dy), min(height, h - dy)
    if x_begin < x_end and y_begin < y_end:
        sums[y_begin:y_end, x_begin:x_end] += image[y_begin + dy:y_end + dy, x_begin + dx:x_end + dx]


def read_shifts(case, folder, count):
    lines = open(os.path.join(folder, "shift.lst"), encoding="latin-1").read().splitlines()
    shifts = [(int(line.split()[0]), int(line.split()[1])) for line in lines]
    if len(shifts) != count:
        fail(case, f"shift.lst holds {len(shifts)} lines for {count} frames")
        return None
    print(f"[{case}] shifts found: {sorted(set(shifts))}")
    return shifts


def case_sequence(program, make_sequence, work):
    case, folder = "sequence", os.path.join(work, "sequence")
    if run([make_sequence, "--out", folder, "--frames", "4", "--width", "160", "--height", "120", "--seed", "7",
            "--max-rotation", "3", "--max-shift", "6", "--angle=-4,4,1", "--translation=10,1", "--bloc=16,6,3,1",
            "--composite=sum.bmp"], work, "make-sequence.log") != 0:
        fail(case, f"make-sequence fails (see {work}/make-sequence.log)")
    elif run([program, "script.txt"], folder) != 0:
        fail(case, f"{os.path.basename(program)} fails (see {folder}/run.log)")
    else:
        check_composite(case, folder, "sum", 160, 120, 4)


def case_frames(case, program, work, pictures, frames, tail):
    """Frames 1 .. frames cycling through pictures, registered at angle 0 on the first one;
    returns the folder, the channel sums of the frames moved by the shifts found, and shifts."""
    folder = os.path.join(work, case)
    os.makedirs(folder)
    write_bmp(os.path.join(folder, "reference.bmp"), pictures[0])
    for index in range(1, frames + 1):
        write_bmp(os.path.join(folder, f"frame{index}.bmp"), pictures[(index - 1) % len(pictures)])
    if not run_script(case, program, folder, f"Reference reference.bmp\nSourcesbmp frame aligned 1 {frames}\n"
                                             f"Angle 0 0 1\nTranslation 0 1\n{tail}Quitter \n"):
        return None
    shifts = read_shifts(case, folder, frames)
    if shifts is None:
        return None
    sums = np.zeros(pictures[0].shape, dtype=np.int64)
    for index, (dx, dy) in enumerate(shifts, start=1):
        # Pixel (x, y) of an aligned frame is source pixel (x + dx, y + dy), or black with
        # validity 0 outside the frame.
        moved = np.zeros(pictures[0].shape, dtype=np.int64)
        lay_on_grid(moved, np.asarray(pictures[(index - 1) % len(pictures)], dtype=np.int64), dx, dy)
        if not np.array_equal(read_rgb(os.path.join(folder, f"aligned{index}.bmp")), moved):
            fail(case, f"aligned{index}.bmp is not frame{index}.bmp moved by ({dx}, {dy})")
        sums += moved
    return folder, sums


def case_many(program, work):
    case, frames, width, height = "many", 141, 40, 30
    rng = np.random.default_rng(2002)
    texture = rng.integers(30, 226, size=(height, width, 3))
    pictures = []
    for variant in range(5):
        picture = np.clip(texture + rng.integers(-25, 26, size=texture.shape), 0, 255)
        picture[2:8, 3:11] = 255                     # saturated in every frame: the largest value
        picture[20:26, 28:36] = 0                    # black in every frame
        picture[12:16, 16:20] = [variant * 60, 255 - variant * 50, variant * 13]
        pictures.append(picture)
    done = case_frames(case, program, work, pictures, frames,
                       "OptiTranslation 1\nCompositage many.composite.bmp\nSommes many.sums.fit\n")
    if done is None:
        return
    folder, sums = done
    check_composite(case, folder, "many", width, height, frames, sums)
    path = os.path.join(folder, "many.sums.fit")
    check_fitsverify(case, path, warnings_allowed=False)    # DATASUM and CHECKSUM included
    opened = open_fits(case, path, {"BITPIX": 32, "NAXIS": 3, "NAXIS1": width, "NAXIS2": height, "NAXIS3": 3,
                                    "KALKIND": "COMPOSITE", "PLANE1": "SOMME-R", "PLANE2": "SOMME-V",
                                    "PLANE3": "SOMME-B", "NLISTED": frames, "NADDED": frames, "NRUNS": 1,
                                    "REFNAME": "reference.bmp", "REFX0": width // 2, "REFY0": height // 2},
                       checksum=True)
    if opened is not None:
        data = opened[1]
        if data.shape != (3, height, width) or data.dtype != np.uint32:
            fail(case, f"many.sums.fit: astropy array {data.shape} of {data.dtype}, expected (3, {height}, {width}) uint32")
        else:
            first_difference(case, "many.sums.fit", np.moveaxis(data.astype(np.int64), 0, 2)[::-1], sums)


def case_flat(program, work):
    flat = np.broadcast_to(np.array([255, 128, 1]), (30, 40, 3))   # red: 127 x 255 = 32385, the largest
    done = case_frames("flat", program, work, [flat], 127, "Compositage flat\n")
    if done is not None:
        check_composite("flat", done[0], "flat", 40, 30, 127, done[1])


def ser_bytes(frames):
    """A grey 16-bit SER video of the frames (top-down arrays): 178-byte header, samples
    big-endian under the LittleEndian flag 1 (the order comes from the data), timestamps."""
    height, width = frames[0].shape
    header = bytearray(178)
    header[0:14] = b"LUCAM-RECORDER"
    header[18:42] = struct.pack("<6i", 0, 1, width, height, 16, len(frames))
    return bytes(header) + b"".join(f.astype(">u2").tobytes() for f in frames) + b"\0" * (8 * len(frames))


def case_camera(program, make_sequence, work):
    case, folder, frames = "camera", os.path.join(work, "camera"), 4
    if run([make_sequence, "--out", folder, "--frames", str(frames), "--width", "160", "--height", "120", "--seed",
            "15", "--max-rotation", "0", "--max-shift", "6"], work, "make-sequence-camera.log") != 0:
        fail(case, f"make-sequence fails (see {work}/make-sequence-camera.log)")
        return
    colour = [read_rgb(os.path.join(folder, n)) for n in ["reference.bmp"] + [f"frame{k:02d}.bmp" for k in range(1, 5)]]
    height, width = colour[0].shape[:2]
    ys, xs = np.mgrid[0:height, 0:width]
    grey16 = [((c[:, :, 0] + 2 * c[:, :, 1] + c[:, :, 2]) * 64 + (xs * 7 + ys * 13 + k * 5) % 64).astype(np.int64)
              for k, c in enumerate(colour)]
    maximum = int(grey16[0].max())
    runs = {}
    for kind in ("ser", "fits", "bmp"):
        runs[kind] = sub = os.path.join(folder, kind)
        os.makedirs(sub)
        if kind == "ser":
            open(os.path.join(sub, "video.ser"), "wb").write(ser_bytes(grey16))
            lines = f"Reference video.ser\nSequence video.ser aligned 2 {frames + 1}\n"
        elif kind == "fits":
            fits.PrimaryHDU(np.stack([np.flipud(g) for g in grey16]).astype(np.uint16)).writeto(
                os.path.join(sub, "cube.fit"))
            lines = f"Reference cube.fit\nSequence cube.fit aligned 2 {frames + 1}\n"
        else:
            for k, g in enumerate(grey16):
                v8 = np.minimum(g * 255 // maximum, 255)   # clipped as the views are
                write_bmp(os.path.join(sub, f"g{k}.bmp"), np.stack([v8, v8, v8], axis=2))
            lines = "Reference g0.bmp\n" + "".join(f"Source g{k}.bmp aligned{k + 1}.bmp\n" for k in range(1, 5))
        if not run_script(case, program, sub, lines + "Angle 0 0 1\nTranslation 10 1\nEmpilement stack.fit\n"):
            return
    for kind in ("ser", "fits"):
        for name in ["shift.lst"] + [f"aligned{k}.bmp" for k in range(2, frames + 2)]:
            if open(os.path.join(runs[kind], name), "rb").read() != open(os.path.join(runs["bmp"], name), "rb").read():
                fail(case, f"{kind}: {name} differs from the run on 8-bit BMP files")
    shifts = read_shifts(case, runs["ser"], frames)
    if shifts is None:
        return
    sums, counts = np.zeros((height, width, 1)), np.zeros((height, width, 1))
    for g, (dx, dy) in zip(grey16[1:], shifts):
        lay_on_grid(sums, g[:, :, None].astype(np.float64), dx, dy)
        lay_on_grid(counts, np.ones((height, width, 1)), dx, dy)
    expected = np.where(counts[:, :, 0] > 0, sums[:, :, 0] / np.maximum(counts[:, :, 0], 1), 0)
    path = os.path.join(runs["ser"], "stack.fit")
    check_fitsverify(case, path)
    opened = open_fits(case, path, {"NCOMBINE": frames, "DATAMAX": 65535})
    if opened is None:
        return
    data = np.flipud(opened[1])
    if data.shape != (height, width) or data.dtype.kind != "f" or data.dtype.itemsize != 4:
        fail(case, f"stack.fit: shape {data.shape}, type {data.dtype}; expected ({height}, {width}) float32")
        return
    worst = float(np.abs(data.astype(np.float64) - expected).max())
    if data.min() < 0 or data.max() > 65535 or worst > 0.5:
        fail(case, f"stack.fit: values {data.min()} .. {data.max()}, {worst} DN from the mean of the moved frames")
    with Image.open(os.path.join(runs["ser"], "stack.png")) as im:
        png = np.asarray(im, dtype=np.int64)
        if im.mode not in ("I;16", "I;16B", "I") or png.shape != (height, width):
            fail(case, f"stack.png: Pillow mode {im.mode}, shape {png.shape}")
        elif np.abs(png - np.trunc(data.astype(np.float64))).max() > 1:
            fail(case, "stack.png does not hold the stack")
    # An RGB FITS reference written by astropy shows what its BMP shows.
    sub = os.path.join(folder, "rgb")
    os.makedirs(sub)
    fits.PrimaryHDU(np.stack([np.flipud(colour[0][:, :, c]) for c in range(3)]).astype(np.uint8)).writeto(
        os.path.join(sub, "reference.fit"))
    for name in ("reference.bmp", "frame01.bmp"):
        shutil.copy(os.path.join(folder, name), os.path.join(sub, name))
    outputs = []
    for reference in ("reference.fit", "reference.bmp"):
        if not run_script(case, program, sub, f"Reference {reference}\nSource frame01.bmp aligned.bmp\n"
                                              "Angle 0 0 1\nTranslation 10 1\n"):
            return
        outputs.append(open(os.path.join(sub, "aligned.bmp"), "rb").read())
    if outputs[0] != outputs[1]:
        fail(case, "rgb: an astropy RGB reference does not align as its BMP does")
    print(f"[{case}] view maximum {maximum}; deep stack within {worst:.3g} DN of the mean of the moved frames")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True, help="kalvorine or kalvorine-sse")
    parser.add_argument("--make-sequence", required=True)
    parser.add_argument("--work", required=True, help="folder for the runs (emptied first)")
    args = parser.parse_args()
    program, make_sequence, work = (os.path.abspath(p) for p in (args.program, args.make_sequence, args.work))
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    case_sequence(program, make_sequence, work)
    case_many(program, work)
    case_flat(program, work)
    case_camera(program, make_sequence, work)
    if failures:
        print(f"{len(failures)} failure(s); the runs are in {work}")
        return 1
    print("all files read back as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Whole runs of one kalvorine program whose composite files are opened by the readers
astronomers use: fitsverify and astropy for the three FITS files, Pillow for the averaged BMP.

Three jobs, each in its own folder under --work:

  sequence  4 frames of 160x120 rendered by make-sequence: angle search, block refinement,
            composite sum.bmp. The channel sums are recomputed from the aligned BMP files,
            each laid on the reference grid by its reference point (derived from the angle
            the run printed); they must bound the FITS values from above everywhere and
            match them, up to what the validity bytes may take away, in the middle of the grid.
  many      141 frames of 40x30, copies of five textured pictures, single angle 0, whole
            frames compared: each aligned frame is its source moved by the whole-pixel shift
            of shift.lst (none, as it turns out), so the sums follow from the source files and
            the FITS values are those sums scaled by 127/141, exactly. A patch saturated
            in every frame gives the largest value, 32385, and an average of 254, not 255
            (1/141 in single precision lies below 1/141).
  flat      127 copies of one flat-colour frame, single angle 0: the translation search has
            nothing to hold on to and takes the first shift it tries, (-10, -10); the sums
            follow from the shifts of shift.lst exactly (127 images: scale 127/127).

The many case also writes the raw sums ("Sommes many.sums.fit"): fitsverify must find neither
error nor warning in it (its DATASUM and CHECKSUM included), astropy must open it with checksum
verification and no warning, as unsigned 32-bit planes red, green, blue (row 0 the bottom row)
holding the exact channel sums, with the frame counts and the reference in its header.

For every FITS file: fitsverify must report no error; astropy must open it without a warning,
with BITPIX 16, NAXIS1 x NAXIS2 the reference size and MIPS-HI 256 x the scale; row 0 of the
astropy array must be the bottom row of the picture. For every averaged BMP: Pillow must read
it at the reference size with the average of the sums the FITS files hold.

Exits 77 (skipped) when fitsverify, astropy, numpy or Pillow is missing.
"""

import argparse
import math
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

FITS_BLOCK = 2880
RADIANS_TO_DEGREES = 180 * 0.31830988614222805   # the factor the program prints theta with
# Each bilinear pass (rotation, then block deformation) may round a full validity of 255 down
# by one when its weights are summed in single precision; in the middle of the grid every
# aligned pixel is valid, so its validity is at least this.
LOWEST_INTERIOR_VALIDITY = 253

failures = []
fitsverify_verdicts = []


def fail(case, message):
    failures.append(f"[{case}] {message}")
    print(f"FAIL [{case}] {message}")


def run(command, cwd, log_name):
    """Runs command in cwd with stdin closed (a fatal stop then ends instead of waiting)."""
    with open(os.path.join(cwd, log_name), "wb") as log:
        done = subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL, stdout=log,
                              stderr=subprocess.STDOUT, timeout=120)
    return done.returncode


def read_rgb(path):
    """A 24-bit BMP through Pillow: rows top-down, channels red, green, blue."""
    with Image.open(path) as im:
        if im.format != "BMP":
            raise ValueError(f"{path}: Pillow sees {im.format}, not BMP")
        if im.mode != "RGB":
            raise ValueError(f"{path}: Pillow mode {im.mode}, expected RGB (24 bits)")
        return np.asarray(im, dtype=np.int64)


def write_bmp(path, rgb):
    Image.fromarray(np.asarray(rgb, dtype=np.uint8), "RGB").save(path, format="BMP")


def fits_scale(image_count):
    return image_count if image_count <= 126 else 127


def average_of(sums, image_count):
    """The averaged BMP: each sum in single precision times 1/n rounded to single, truncated."""
    reciprocal = np.float32(1.0 / image_count)
    return (sums.astype(np.float32) * reciprocal).astype(np.int64)


def averages_match(fits_values, bmp, image_count):
    """Where the BMP holds the average of a sum S the FITS value can come from:
    v = floor(S x scale / n), so S lies in [ceil(v n / scale), ceil((v + 1) n / scale) - 1]."""
    scale = fits_scale(image_count)
    lowest = -(-fits_values * image_count // scale)
    highest = -(-(fits_values + 1) * image_count // scale) - 1
    matches = np.zeros(fits_values.shape, dtype=bool)
    for extra in range(int((highest - lowest).max()) + 1):
        matches |= average_of(np.minimum(lowest + extra, highest), image_count) == bmp
    return matches


def check_fitsverify(case, paths):
    done = subprocess.run([FITSVERIFY] + paths, stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, errors="replace", timeout=60)
    verdicts = re.findall(r"Verification found (\d+) warning\(s\) and (\d+) error\(s\)", done.stdout)
    if len(verdicts) != len(paths):
        fail(case, f"fitsverify gave {len(verdicts)} verdicts for {len(paths)} files "
                   f"(exit {done.returncode}):\n{done.stdout}{done.stderr}")
        return
    for path, (warnings_found, errors_found) in zip(paths, verdicts):
        name = os.path.basename(path)
        fitsverify_verdicts.append(f"{case}/{name}: {warnings_found} warning(s), {errors_found} error(s)")
        if int(errors_found) != 0:
            fail(case, f"fitsverify finds {errors_found} error(s) in {name}:\n{done.stdout}")
        if int(warnings_found) != 0:
            print(f"note [{case}] fitsverify warns {warnings_found} time(s) about {name}:")
            print("\n".join(l for l in done.stdout.splitlines() if "*** Warning" in l or "WARNING" in l))
    if done.returncode != 0 and all(int(e) == 0 for _, e in verdicts):
        fail(case, f"fitsverify exits {done.returncode} although it reports no error")


def check_fits_layout(case, path, width, height):
    """The bytes astropy does not look at: block sizes and the padding of both blocks."""
    raw = open(path, "rb").read()
    name = os.path.basename(path)
    data_bytes = 2 * width * height
    expected_size = FITS_BLOCK + (data_bytes + FITS_BLOCK - 1) // FITS_BLOCK * FITS_BLOCK
    if len(raw) != expected_size:
        fail(case, f"{name} holds {len(raw)} bytes, expected {expected_size}")
        return
    header = raw[:FITS_BLOCK]
    end = header.find(b"END" + b" " * 77)
    if end < 0 or end % 80 != 0 or header[end:].strip(b" ") != b"END":
        fail(case, f"{name}: the header block does not end with an END card and blanks")
    if not all(32 <= b < 127 for b in header):
        fail(case, f"{name}: the header holds bytes that are not printable ASCII")
    if raw[FITS_BLOCK + data_bytes:].strip(b"\0"):
        fail(case, f"{name}: the data block is not padded with zero bytes")


def open_fits(case, path, width, height, image_count):
    """Opens one channel with astropy, checks its header and returns its array (row 0 first)."""
    name = os.path.basename(path)
    with warnings.catch_warnings():
        warnings.simplefilter("error", AstropyWarning)
        try:
            with fits.open(path, mode="readonly", memmap=False) as hdul:
                hdul.verify("exception")
                if len(hdul) != 1:
                    fail(case, f"{name}: astropy sees {len(hdul)} HDUs, expected the primary one alone")
                hdu = hdul[0]
                header = hdu.header
                expected = {"SIMPLE": True, "BITPIX": 16, "NAXIS": 2, "NAXIS1": width,
                            "NAXIS2": height, "MIPS-HI": 256 * fits_scale(image_count), "MIPS-LO": 0}
                for keyword, value in expected.items():
                    if keyword not in header:
                        fail(case, f"{name}: no {keyword} keyword")
                    elif header[keyword] != value or type(header[keyword]) is not type(value):
                        fail(case, f"{name}: {keyword} = {header[keyword]!r}, expected {value!r}")
                for keyword in ("BSCALE", "BZERO", "BLANK"):
                    if keyword in header:
                        fail(case, f"{name}: unexpected {keyword} keyword")
                data = hdu.data
                if data is None or data.shape != (height, width):
                    fail(case, f"{name}: astropy array {None if data is None else data.shape}, "
                               f"expected ({height}, {width})")
                    return None
                if data.dtype.kind != "i" or data.dtype.itemsize != 2:
                    fail(case, f"{name}: astropy array of {data.dtype}, expected 16-bit integers")
                values = data.astype(np.int64)
        except (AstropyWarning, OSError, ValueError, fits.VerifyError) as problem:
            fail(case, f"astropy cannot open {name} cleanly: {type(problem).__name__}: {problem}")
            return None
    top = 255 * fits_scale(image_count)
    if values.min() < 0 or values.max() > top:
        fail(case, f"{name}: values from {values.min()} to {values.max()}, outside 0..{top}")
    return values


def check_composite(case, folder, base, width, height, image_count, expected_sums=None):
    """Checks the four composite files of one run against each other and, when given, against
    the expected channel sums (top row first, channels red, green, blue).
    Returns the sums recovered from the FITS files when they are exact (n <= 126), else None."""
    fits_paths = [os.path.join(folder, base + suffix) for suffix in ("R.fit", "V.fit", "B.fit")]
    bmp_path = os.path.join(folder, base + ".bmp")
    for path in fits_paths + [bmp_path]:
        if not os.path.isfile(path):
            fail(case, f"the run wrote no {os.path.basename(path)}")
            return None

    check_fitsverify(case, fits_paths)
    channels = []
    for path in fits_paths:
        check_fits_layout(case, path, width, height)
        channels.append(open_fits(case, path, width, height, image_count))
    if any(c is None for c in channels):
        return None
    # Row 0 of a FITS image is the bottom of the picture: flip to top-down to meet the BMP.
    stored = np.stack(channels, axis=2)          # as astropy gives it
    picture = stored[::-1]                       # top row first

    try:
        bmp = read_rgb(bmp_path)
    except (OSError, ValueError) as problem:
        fail(case, f"Pillow cannot read {base}.bmp: {problem}")
        return None
    if bmp.shape != (height, width, 3):
        fail(case, f"Pillow reads {base}.bmp as {bmp.shape[1]}x{bmp.shape[0]}, expected {width}x{height}")
        return None

    scale = fits_scale(image_count)
    matches = averages_match(picture, bmp, image_count)
    if not matches.all():
        y, x, c = np.argwhere(~matches)[0]
        fail(case, f"{(~matches).sum()} values of {base}.bmp are not the average of the FITS sums; "
                   f"first at row {y} column {x} channel {'RGB'[c]}: FITS {picture[y, x, c]}, BMP {bmp[y, x, c]}")
    upside_down = averages_match(stored, bmp, image_count).all()
    if not matches.all() and upside_down:
        fail(case, f"the FITS files match {base}.bmp only with row 0 of the FITS array as the top "
                   "row of the picture: one of them has its rows upside down")
    elif upside_down:
        # The bottom-first order must matter here, or the check above proves nothing about it.
        fail(case, "the picture reads the same upside down: its row order goes unchecked")

    if expected_sums is not None:
        expected_fits = expected_sums * scale // image_count
        if not np.array_equal(picture, expected_fits):
            wrong = picture != expected_fits
            y, x, c = np.argwhere(wrong)[0]
            fail(case, f"{wrong.sum()} FITS values differ from the channel sums x {scale}/{image_count}; "
                       f"first at picture row {y} column {x} channel {'RGB'[c]}: "
                       f"{picture[y, x, c]}, expected {expected_fits[y, x, c]}")
            if np.array_equal(stored, expected_fits):
                fail(case, "the FITS rows are stored top row first: row 0 must be the bottom row")
        expected_bmp = average_of(expected_sums, image_count)
        if not np.array_equal(bmp, expected_bmp):
            wrong = bmp != expected_bmp
            y, x, c = np.argwhere(wrong)[0]
            fail(case, f"{wrong.sum()} values of {base}.bmp differ from the average of the sums; "
                       f"first at row {y} column {x} channel {'RGB'[c]}: {bmp[y, x, c]}, "
                       f"expected {expected_bmp[y, x, c]}")
    return picture if image_count <= 126 else None


def check_sums_file(case, path, width, height, frames, expected_sums):
    """The raw sums file of a run over frames (all added) whose channel sums are expected_sums
    (top row first, channels red, green, blue)."""
    name = os.path.basename(path)
    if not os.path.isfile(path):
        fail(case, f"the run wrote no {name}")
        return
    check_fitsverify(case, [path])
    done = subprocess.run([FITSVERIFY, path], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          errors="replace", timeout=60)
    if "0 warning(s) and 0 error(s)" not in done.stdout:
        fail(case, f"fitsverify warns about {name}:\n{done.stdout}")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            with fits.open(path, mode="readonly", memmap=False, checksum=True) as hdul:
                hdul.verify("exception")
                if len(hdul) != 1:
                    fail(case, f"{name}: astropy sees {len(hdul)} HDUs, expected the primary one alone")
                header = hdul[0].header
                expected = {"BITPIX": 32, "NAXIS": 3, "NAXIS1": width, "NAXIS2": height, "NAXIS3": 3,
                            "KALKIND": "COMPOSITE", "PLANE1": "SOMME-R", "PLANE2": "SOMME-V",
                            "PLANE3": "SOMME-B", "NLISTED": frames, "NADDED": frames, "NRUNS": 1,
                            "REFNAME": "reference.bmp", "REFX0": width // 2, "REFY0": height // 2}
                for keyword, value in expected.items():
                    if header.get(keyword) != value:
                        fail(case, f"{name}: {keyword} = {header.get(keyword)!r}, expected {value!r}")
                data = hdul[0].data
                if data is None or data.shape != (3, height, width) or data.dtype != np.uint32:
                    fail(case, f"{name}: astropy array {None if data is None else (data.shape, data.dtype)}, "
                               f"expected (3, {height}, {width}) of uint32")
                    return
                picture = np.moveaxis(data.astype(np.int64), 0, 2)[::-1]    # top row first, RGB
                if not np.array_equal(picture, expected_sums):
                    wrong = picture != expected_sums
                    y, x, c = np.argwhere(wrong)[0]
                    fail(case, f"{wrong.sum()} sums of {name} differ from the channel sums; first at row {y} "
                               f"column {x} channel {'RGB'[c]}: {picture[y, x, c]}, expected {expected_sums[y, x, c]}")
        except (Warning, OSError, ValueError, fits.VerifyError) as problem:
            fail(case, f"astropy cannot open {name} cleanly: {type(problem).__name__}: {problem}")


def lay_on_grid(sums, image, dx, dy):
    """Adds image (top-down, H x W x 3) into sums so that grid cell (x, y) takes pixel (x+dx, y+dy)."""
    height, width = sums.shape[:2]
    h, w = image.shape[:2]
    x_begin, x_end = max(0, -dx), min(width, w - dx)
    y_begin, y_end = max(0, -dy), min(height, h - dy)
    if x_begin < x_end and y_begin < y_end:
        sums[y_begin:y_end, x_begin:x_end] += image[y_begin + dy:y_end + dy, x_begin + dx:x_end + dx]


def rotated_reference_point(angle, width, height, x0, y0):
    """Where the reference point (x0, y0) of a width x height frame lands in the bounding box
    of the frame turned by angle (radians, single precision): the aligned image's reference point."""
    cos_a, sin_a = math.cos(angle), math.sin(angle)
    if angle > 0:
        return (math.trunc(cos_a * x0 + sin_a * y0),
                math.trunc(float(np.float32(width * sin_a)) - sin_a * x0 + cos_a * y0))
    return (math.trunc(float(np.float32(-height * sin_a)) + cos_a * x0 + sin_a * y0),
            math.trunc(-sin_a * x0 + cos_a * y0))


def case_sequence(program, make_sequence, work):
    case = "sequence"
    folder = os.path.join(work, case)
    frames = 4
    rc = run([make_sequence, "--out", folder, "--frames", str(frames), "--width", "160",
              "--height", "120", "--seed", "7", "--max-rotation", "3", "--max-shift", "6",
              "--angle=-4,4,1", "--translation=10,1", "--bloc=16,6,3,1", "--composite=sum.bmp"],
             work, "make-sequence.log")
    if rc != 0:
        fail(case, f"make-sequence exits {rc} (see {work}/make-sequence.log)")
        return
    rc = run([program, "script.txt"], folder, "run.log")
    if rc != 0:
        fail(case, f"{os.path.basename(program)} exits {rc} (see {folder}/run.log)")
        return
    reference = read_rgb(os.path.join(folder, "reference.bmp"))
    height, width = reference.shape[:2]
    sums = check_composite(case, folder, "sum", width, height, frames)
    if sums is None:
        return

    # Recompute the sums from the aligned files. Every frame has the reference's size and its
    # reference point (the centre); turned by the angle found, that point moves to the aligned
    # image's reference point, which the block stage keeps, and lands on the reference's.
    log = open(os.path.join(folder, "run.log"), encoding="latin-1").read()
    thetas = [float(t) for t in re.findall(r"theta=(-?\d+\.\d+)", log)]
    if len(thetas) != frames:
        fail(case, f"the run printed {len(thetas)} theta lines for {frames} frames")
        return
    x0, y0 = width // 2, height // 2
    upper = np.zeros((height, width, 3), dtype=np.int64)    # every validity 255
    lower = np.zeros((height, width, 3), dtype=np.int64)    # every validity the lowest interior one
    placements = []
    for index, theta in enumerate(thetas, start=1):
        angle = float(np.float32(theta / RADIANS_TO_DEGREES))
        ax0, ay0 = rotated_reference_point(angle, width, height, x0, y0)
        aligned = read_rgb(os.path.join(folder, f"aligned{index:02d}.bmp"))
        placements.append(f"aligned{index:02d} {aligned.shape[1]}x{aligned.shape[0]} at ({ax0}, {ay0})")
        lay_on_grid(upper, aligned, ax0 - x0, ay0 - y0)
        lay_on_grid(lower, aligned * LOWEST_INTERIOR_VALIDITY // 255, ax0 - x0, ay0 - y0)
    above = sums > upper
    if above.any():
        y, x, c = np.argwhere(above)[0]
        fail(case, f"{above.sum()} sums exceed the aligned files' pixels laid on the grid; first at "
                   f"row {y} column {x} channel {'RGB'[c]}: {sums[y, x, c]} > {upper[y, x, c]} "
                   f"({'; '.join(placements)})")
    middle = (slice(height // 4, 3 * height // 4), slice(width // 4, 3 * width // 4))
    below = sums[middle] < lower[middle]
    if below.any():
        y, x, c = np.argwhere(below)[0]
        fail(case, f"{below.sum()} sums in the middle of the grid fall short of the aligned files' "
                   f"pixels laid on the grid; first at row {y + height // 4} column {x + width // 4} "
                   f"channel {'RGB'[c]}: {sums[middle][y, x, c]} < {lower[middle][y, x, c]} "
                   f"({'; '.join(placements)})")
    # Near the edges of the turned frames the validity bytes lie between 0 and 255 and weigh
    # the colours down; were they ignored, every sum would reach the bound.
    for channel in range(3):
        if not (sums[:, :, channel] < upper[:, :, channel]).any():
            fail(case, f"no {'RGB'[channel]} sum falls below the aligned files' pixels: "
                       "the validity bytes weigh nothing")
    exact = np.count_nonzero(sums[middle] == upper[middle])
    print(f"[{case}] {'; '.join(placements)}; middle sums equal to the aligned pixels: "
          f"{exact} of {sums[middle].size}")


def write_many_frames(folder, stem, pictures, count):
    for index in range(1, count + 1):
        write_bmp(os.path.join(folder, f"{stem}{index}.bmp"), pictures[(index - 1) % len(pictures)])


def read_shifts(folder, count, case):
    lines = open(os.path.join(folder, "shift.lst"), encoding="latin-1").read().splitlines()
    shifts = []
    for line in lines:
        fields = line.split()
        shifts.append((int(fields[0]), int(fields[1])))
    if len(shifts) != count:
        fail(case, f"shift.lst holds {len(shifts)} lines for {count} frames")
        return None
    return shifts


def shifted(source, dx, dy):
    """The aligned image of a frame at angle 0 with the whole-pixel shift (dx, dy): pixel (x, y)
    is source pixel (x + dx, y + dy), or black with validity 0 where that lies outside the
    frame. Same size and reference point as the source, so it lies on the grid unmoved."""
    moved = np.zeros(source.shape, dtype=np.int64)
    lay_on_grid(moved, np.asarray(source, dtype=np.int64), dx, dy)
    return moved


def case_many(program, work):
    """More than 126 frames: the FITS values are the sums scaled by 127/n."""
    case = "many"
    folder = os.path.join(work, case)
    os.makedirs(folder)
    frames, width, height = 141, 40, 30
    rng = np.random.default_rng(2002)
    texture = rng.integers(30, 226, size=(height, width, 3))
    pictures = []
    for variant in range(5):
        picture = np.clip(texture + rng.integers(-25, 26, size=texture.shape), 0, 255)
        picture[2:8, 3:11] = 255                     # saturated in every frame: the largest value
        picture[20:26, 28:36] = 0                    # black in every frame
        picture[12:16, 16:20] = [variant * 60, 255 - variant * 50, variant * 13]
        pictures.append(picture)
    write_bmp(os.path.join(folder, "reference.bmp"), pictures[0])
    write_many_frames(folder, "frame", pictures, frames)
    with open(os.path.join(folder, "script.txt"), "w") as script:
        script.write(f"Reference reference.bmp\nSourcesbmp frame aligned 1 {frames}\n"
                     "Angle 0 0 1\nTranslation 0 1\nOptiTranslation 1\n"
                     "Compositage many.composite.bmp\nSommes many.sums.fit\nQuitter \n")
    rc = run([program, "script.txt"], folder, "run.log")
    if rc != 0:
        fail(case, f"{os.path.basename(program)} exits {rc} (see {folder}/run.log)")
        return
    shifts = read_shifts(folder, frames, case)
    if shifts is None:
        return
    print(f"[{case}] shifts found: {sorted(set(shifts))}")
    expected = np.zeros((height, width, 3), dtype=np.int64)
    for index, (dx, dy) in enumerate(shifts, start=1):
        moved = shifted(pictures[(index - 1) % len(pictures)], dx, dy)
        if not np.array_equal(read_rgb(os.path.join(folder, f"aligned{index}.bmp")), moved):
            fail(case, f"aligned{index}.bmp is not frame{index}.bmp moved by ({dx}, {dy})")
        expected += moved
    check_composite(case, folder, "many", width, height, frames, expected)
    check_sums_file(case, os.path.join(folder, "many.sums.fit"), width, height, frames, expected)


def case_flat(program, work):
    """127 identical flat frames: scale 127/127, sums of the shifted frames."""
    case = "flat"
    folder = os.path.join(work, case)
    os.makedirs(folder)
    frames, width, height = 127, 40, 30
    colour = np.array([255, 128, 1])                 # red 255: 127 x 255 = 32385, the largest value
    flat = np.broadcast_to(colour, (height, width, 3))
    write_bmp(os.path.join(folder, "reference.bmp"), flat)
    write_many_frames(folder, "frame", [flat], frames)
    with open(os.path.join(folder, "script.txt"), "w") as script:
        script.write(f"Reference reference.bmp\nSourcesbmp frame aligned 1 {frames}\n"
                     "Angle 0 0 1\nTranslation 0 1\nCompositage flat\nQuitter \n")
    rc = run([program, "script.txt"], folder, "run.log")
    if rc != 0:
        fail(case, f"{os.path.basename(program)} exits {rc} (see {folder}/run.log)")
        return
    shifts = read_shifts(folder, frames, case)
    if shifts is None:
        return
    print(f"[{case}] shifts found: {sorted(set(shifts))}")
    expected = np.zeros((height, width, 3), dtype=np.int64)
    for dx, dy in shifts:
        expected += shifted(flat, dx, dy)
    check_composite(case, folder, "flat", width, height, frames, expected)


def ser_bytes(frames, little_endian=True, flag=1):
    """A grey 16-bit SER video of the frames (top-down uint16 arrays): 178-byte header,
    samples in the given byte order under the given LittleEndian flag, one timestamp a frame."""
    height, width = frames[0].shape
    header = bytearray(178)
    header[0:14] = b"LUCAM-RECORDER"
    header[18:42] = struct.pack("<6i", 0, flag, width, height, 16, len(frames))
    body = b"".join(f.astype("<u2" if little_endian else ">u2").tobytes() for f in frames)
    return bytes(header) + body + b"\0" * (8 * len(frames))


def case_camera(program, make_sequence, work):
    """Camera input and the deep stack. Frames rendered from the lunar scene become 16-bit grey
    samples with low bits of their own; as a SER video (big-endian under an inverted flag) and
    as an Astropy cube they must give the aligned BMP files and shift.lst of the same frames as
    8-bit BMP files scaled by the reference's maximum; the deep stack must be within 0.5 DN of
    the mean of the 16-bit frames moved by the shifts found, pass fitsverify, read in Astropy
    as 32-bit floats of the right shape and range, and its PNG in Pillow as 16-bit grey.
    An RGB FITS written by Astropy as reference must give the results of its BMP."""
    case = "camera"
    folder = os.path.join(work, case)
    frames = 4
    rc = run([make_sequence, "--out", folder, "--frames", str(frames), "--width", "160",
              "--height", "120", "--seed", "15", "--max-rotation", "0", "--max-shift", "6"],
             work, "make-sequence-camera.log")
    if rc != 0:
        fail(case, f"make-sequence exits {rc} (see {work}/make-sequence-camera.log)")
        return
    names = ["reference.bmp"] + [f"frame{k:02d}.bmp" for k in range(1, frames + 1)]
    colour = [read_rgb(os.path.join(folder, n)) for n in names]
    height, width = colour[0].shape[:2]
    ys, xs = np.mgrid[0:height, 0:width]
    grey16 = [((c[:, :, 0] + 2 * c[:, :, 1] + c[:, :, 2]) * 64 + (xs * 7 + ys * 13 + k * 5) % 64)
              .astype(np.int64) for k, c in enumerate(colour)]
    maximum = int(grey16[0].max())
    script_tail = "Angle 0 0 1\nTranslation 10 1\nEmpilement stack.fit\n"
    runs = {}
    for kind in ("ser", "fits", "bmp"):
        sub = os.path.join(folder, kind)
        os.makedirs(sub)
        if kind == "ser":
            with open(os.path.join(sub, "video.ser"), "wb") as out:
                out.write(ser_bytes(grey16, little_endian=False, flag=1))
            lines = f"Reference video.ser\nSequence video.ser aligned 2 {frames + 1}\n"
        elif kind == "fits":
            cube = np.stack([np.flipud(g) for g in grey16]).astype(np.uint16)
            fits.PrimaryHDU(cube).writeto(os.path.join(sub, "cube.fit"))
            lines = f"Reference cube.fit\nSequence cube.fit aligned 2 {frames + 1}\n"
        else:
            for k, g in enumerate(grey16):
                v8 = np.minimum(g * 255 // maximum, 255)   # clipped as the views are
                write_bmp(os.path.join(sub, f"g{k}.bmp"), np.stack([v8, v8, v8], axis=2))
            lines = "Reference g0.bmp\n" + "".join(f"Source g{k}.bmp aligned{k + 1}.bmp\n"
                                                   for k in range(1, frames + 1))
        with open(os.path.join(sub, "script.txt"), "w") as script:
            script.write(lines + script_tail)
        rc = run([program, "script.txt"], sub, "run.log")
        if rc != 0:
            fail(case, f"{kind}: {os.path.basename(program)} exits {rc} (see {sub}/run.log)")
            return
        runs[kind] = sub
    for kind in ("ser", "fits"):
        for name in ["shift.lst"] + [f"aligned{k}.bmp" for k in range(2, frames + 2)]:
            a = open(os.path.join(runs[kind], name), "rb").read()
            b = open(os.path.join(runs["bmp"], name), "rb").read()
            if a != b:
                fail(case, f"{kind}: {name} differs from the run on 8-bit BMP files")
    shifts = read_shifts(runs["ser"], frames, case)
    if shifts is None:
        return
    sums = np.zeros((height, width, 1), dtype=np.float64)
    counts = np.zeros((height, width, 1), dtype=np.float64)
    for g, (dx, dy) in zip(grey16[1:], shifts):
        lay_on_grid(sums, g[:, :, None].astype(np.float64), dx, dy)
        lay_on_grid(counts, np.ones((height, width, 1)), dx, dy)
    covered = counts[:, :, 0] > 0
    expected = np.where(covered, sums[:, :, 0] / np.maximum(counts[:, :, 0], 1), 0)
    path = os.path.join(runs["ser"], "stack.fit")
    check_fitsverify(case, [path])
    with warnings.catch_warnings():
        warnings.simplefilter("error", AstropyWarning)
        with fits.open(path) as hdus:
            header, data = hdus[0].header, np.flipud(hdus[0].data)
            if data.shape != (height, width) or data.dtype.kind != "f" or data.dtype.itemsize != 4:
                fail(case, f"stack.fit: shape {data.shape}, type {data.dtype}; expected ({height}, {width}) float32")
                return
            if header.get("NCOMBINE") != frames or header.get("DATAMAX") != 65535:
                fail(case, f"stack.fit: NCOMBINE {header.get('NCOMBINE')}, DATAMAX {header.get('DATAMAX')}")
            if data.min() < 0 or data.max() > 65535:
                fail(case, f"stack.fit: values {data.min()} .. {data.max()} outside 0 .. 65535")
            worst = float(np.abs(data.astype(np.float64) - expected).max())
            if worst > 0.5:
                fail(case, f"stack.fit: {worst} DN from the mean of the moved 16-bit frames")
    with Image.open(os.path.join(runs["ser"], "stack.png")) as im:
        png = np.asarray(im, dtype=np.int64)
        if im.mode not in ("I;16", "I;16B", "I") or png.shape != (height, width):
            fail(case, f"stack.png: Pillow mode {im.mode}, shape {png.shape}")
        elif np.abs(png - np.trunc(data.astype(np.float64))).max() > 1:
            fail(case, "stack.png does not hold the stack")
    # With an angle search and blocks, the deep stack follows the aligned views: scaled to 8
    # bits it lies above the 8-bit composite's average by at most the truncations of the views,
    # of the two 8-bit resamplings (turn, then blocks) and of the average, one grey level each
    # (a few units of 2^-24 more in the SSE program), wherever every frame covers the pixel. A
    # geometry that differed would leave tens of grey levels along the lunar edges.
    sub = os.path.join(folder, "blocks")
    os.makedirs(sub)
    shutil.copy(os.path.join(runs["ser"], "video.ser"), os.path.join(sub, "video.ser"))
    with open(os.path.join(sub, "script.txt"), "w") as script:
        script.write(f"Reference video.ser\nSequence video.ser aligned 2 {frames + 1}\nAngle -3 3 1\n"
                     "Translation 10 1\nBloc 16 6 3 1\nCompositage sum.bmp\nEmpilement stack.fit\n")
    if run([program, "script.txt"], sub, "run.log") != 0:
        fail(case, f"blocks: {os.path.basename(program)} fails (see {sub}/run.log)")
        return
    with fits.open(os.path.join(sub, "stack.fit")) as hdus:
        deep8 = np.flipud(hdus[0].data).astype(np.float64) * 255 / maximum
    average = read_rgb(os.path.join(sub, "sum.bmp"))[:, :, 1].astype(np.float64)
    margin = 16
    gap = (deep8 - average)[margin:-margin, margin:-margin]
    if gap.min() < -0.5 or gap.max() > 4.01:
        fail(case, f"blocks: deep stack scaled to 8 bits lies {gap.min():.3g} .. {gap.max():.3g} from the composite")
    print(f"[{case}] angle and blocks: deep stack scaled to 8 bits lies {gap.min():.3g} .. {gap.max():.3g} "
          "above the 8-bit composite")
    # An RGB FITS reference written by Astropy shows what its BMP shows.
    sub = os.path.join(folder, "rgb")
    os.makedirs(sub)
    rgb = np.stack([np.flipud(colour[0][:, :, c]) for c in range(3)]).astype(np.uint8)
    fits.PrimaryHDU(rgb).writeto(os.path.join(sub, "reference.fit"))
    shutil.copy(os.path.join(folder, "reference.bmp"), os.path.join(sub, "reference.bmp"))
    shutil.copy(os.path.join(folder, "frame01.bmp"), os.path.join(sub, "frame01.bmp"))
    outputs = []
    for reference in ("reference.fit", "reference.bmp"):
        with open(os.path.join(sub, "script.txt"), "w") as script:
            script.write(f"Reference {reference}\nSource frame01.bmp aligned.bmp\nAngle 0 0 1\nTranslation 10 1\n")
        if run([program, "script.txt"], sub, f"run-{reference}.log") != 0:
            fail(case, f"rgb: the run with {reference} fails")
            return
        outputs.append(open(os.path.join(sub, "aligned.bmp"), "rb").read())
    if outputs[0] != outputs[1]:
        fail(case, "rgb: an Astropy RGB reference does not align as its BMP does")
    print(f"[{case}] view maximum {maximum}; shifts {shifts}; deep stack within "
          f"{worst:.3g} DN of the mean of the moved 16-bit frames")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True, help="kalvorine or kalvorine-sse")
    parser.add_argument("--make-sequence", required=True)
    parser.add_argument("--work", required=True, help="folder for the runs (emptied first)")
    args = parser.parse_args()
    program = os.path.abspath(args.program)
    make_sequence = os.path.abspath(args.make_sequence)
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)

    print(f"program {program}; readers: {FITSVERIFY}, astropy {__import__('astropy').__version__}, "
          f"Pillow {__import__('PIL').__version__}")
    case_sequence(program, make_sequence, work)
    case_many(program, work)
    case_flat(program, work)
    case_camera(program, make_sequence, work)

    print("fitsverify: " + "; ".join(fitsverify_verdicts))
    if failures:
        print(f"{len(failures)} failure(s); the runs are in {work}")
        return 1
    print("all composite files read back as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main())

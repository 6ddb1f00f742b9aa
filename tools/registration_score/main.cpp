// registration-score: how far kalvorine's placements of a make-sequence sequence are from the
// truth. Each frame's error is the RMS, over the frame's pixels, of the distance between where
// the true and the found placement put the pixel; the median and the worst follow.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "make_sequence/sequence.h"

namespace {

void printUsage(std::FILE* to) {
    std::fprintf(to,
                 "Usage: registration-score [--console] [--size WxH] [FOUND [TRUTH]]\n"
                 "Scores the placements kalvorine found (FOUND, default affinage.lst: \"frame angle_degrees\n"
                 "dx dy residual\" per line) against TRUTH (a truth file of make-sequence, default\n"
                 "truth.txt): per frame, the RMS over the frame of the distance in pixels between the\n"
                 "true and the found placement of each pixel; then the median and the worst.\n"
                 "  --console   FOUND is kalvorine's console output: its \"theta=... DeltaX=... DeltaY=...\"\n"
                 "              (or \"DeltaX=... DeltaY=...\") lines, one per frame in order (any mode)\n"
                 "  --size WxH  frame size (default: read from the truth file's header, else 640x480)\n"
                 "  --seeing    also score against the best rigid placement once the sequence's seeing is\n"
                 "              counted (rebuilt from the truth file's header): a registration cannot tell\n"
                 "              the seeing's mean displacement over a frame from a motion. Prints that error\n"
                 "              and the floor (the distance between the truth and that placement)\n");
}

int fail(const std::string& why) {
    std::fprintf(stderr, "registration-score: %s\n", why.c_str());
    return 2;
}

struct Found {
    long frame = 0;
    kalseq::FrameTruth placement;
};

bool readRefinementLog(const std::string& path, std::vector<Found>& out, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        std::istringstream fields(line);
        Found f;
        if (!(fields >> f.frame >> f.placement.rotationDegrees >> f.placement.shiftX >> f.placement.shiftY)) {
            error = path + ": unreadable line \"" + line + "\"";
            return false;
        }
        out.push_back(f);
    }
    return true;
}

// The console's result lines, numbered 1, 2, ... in order.
bool readConsole(const std::string& path, std::vector<Found>& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t dx = line.find("DeltaX=");
        const std::size_t dy = line.find("DeltaY=");
        if (dx == std::string::npos || dy == std::string::npos) continue;
        Found f;
        f.frame = long(out.size()) + 1;
        const std::size_t theta = line.find("theta=");
        if (theta != std::string::npos) f.placement.rotationDegrees = std::strtod(line.c_str() + theta + 6, nullptr);
        f.placement.shiftX = std::strtod(line.c_str() + dx + 7, nullptr);
        f.placement.shiftY = std::strtod(line.c_str() + dy + 7, nullptr);
        out.push_back(f);
    }
    return true;
}

// "... frames of 640x480" in the truth file's comment lines.
bool sizeFromTruth(const std::string& path, std::int32_t& width, std::int32_t& height) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] != '#') continue;
        const std::size_t at = line.find("frames of ");
        if (at != std::string::npos && std::sscanf(line.c_str() + at + 10, "%dx%d", &width, &height) == 2) return true;
    }
    return false;
}

}   // namespace

int main(int argc, char** argv) {
    std::string foundPath, truthPath;
    bool console = false, seeing = false;
    std::int32_t width = 0, height = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            printUsage(stdout);
            return 0;
        } else if (arg == "--console") {
            console = true;
        } else if (arg == "--seeing") {
            seeing = true;
        } else if (arg == "--size" && i + 1 < argc) {
            if (std::sscanf(argv[++i], "%dx%d", &width, &height) != 2 || width <= 0 || height <= 0) {
                return fail("bad size " + std::string(argv[i]));
            }
        } else if (!arg.empty() && arg[0] == '-') {
            printUsage(stderr);
            return fail("unknown option " + arg);
        } else if (foundPath.empty()) {
            foundPath = arg;
        } else if (truthPath.empty()) {
            truthPath = arg;
        } else {
            printUsage(stderr);
            return fail("too many arguments");
        }
    }
    if (foundPath.empty()) foundPath = "affinage.lst";
    if (truthPath.empty()) truthPath = "truth.txt";

    std::string error;
    std::vector<kalseq::FrameTruth> truth;
    if (!kalseq::readTruth(truthPath, truth, error)) return fail(error);
    if (width == 0 && !sizeFromTruth(truthPath, width, height)) {
        width = 640;
        height = 480;
    }
    std::vector<Found> found;
    if (!(console ? readConsole(foundPath, found, error) : readRefinementLog(foundPath, found, error)))
        return fail(error);
    if (found.empty()) return fail("no frame in " + foundPath);

    kalseq::SequenceOptions options;
    if (seeing && !kalseq::optionsFromTruth(truthPath, options))
        return fail(truthPath + ": no sequence options in its header");
    std::vector<double> errors, rigidErrors, floors;
    long worstFrame = 0;
    std::printf(seeing ? "frame  error_px  vs_best_rigid_px  seeing_floor_px  (frames of %dx%d)\n"
                       : "frame  error_px  (frames of %dx%d)\n",
                width, height);
    for (const Found& f : found) {
        if (f.frame < 1 || f.frame >= long(truth.size()))
            return fail("frame " + std::to_string(f.frame) + " not in " + truthPath);
        const double e = kalseq::placementDistance(f.placement, truth[std::size_t(f.frame)], width, height);
        if (errors.empty() || e > *std::max_element(errors.begin(), errors.end())) worstFrame = f.frame;
        errors.push_back(e);
        if (seeing) {
            const kalseq::FrameTruth best =
                kalseq::bestRigidPlacement(options, std::int32_t(f.frame), truth[std::size_t(f.frame)]);
            rigidErrors.push_back(kalseq::placementDistance(f.placement, best, width, height));
            floors.push_back(kalseq::placementDistance(best, truth[std::size_t(f.frame)], width, height));
            std::printf("%5ld  %.4f    %.4f            %.4f\n", f.frame, e, rigidErrors.back(), floors.back());
        } else {
            std::printf("%5ld  %.4f\n", f.frame, e);
        }
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        const std::size_t n = v.size();
        return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    };
    auto worst = [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); };
    if (seeing) {
        std::printf("seeing floor: median %.4f px  worst %.4f px\n", median(floors), worst(floors));
        std::printf("against the best rigid placement: median %.4f px  worst %.4f px\n", median(rigidErrors),
                    worst(rigidErrors));
    }
    std::printf("median %.4f px  worst %.4f px (frame %ld)  over %zu frames\n", median(errors), worst(errors),
                worstFrame, errors.size());
    return 0;
}

// shift-chart: draws kalvorine's shift.lst, and optionally the truth file written by
// make-sequence, as an SVG chart of the X and Y shift per frame.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "make_sequence/sequence.h"
#include "shift_chart/quality_chart.h"
#include "shift_chart/shift_chart.h"

namespace {

void printUsage(std::FILE* to) {
    std::fprintf(to,
                 "Usage: shift-chart [-o CHART.svg] [--title TEXT] [SHIFT_LST [TRUTH]]\n"
                 "       shift-chart --quality [-o CHART.svg] [--title TEXT] [QUALITE_LST]\n"
                 "Draws the X and Y shift of every frame found by kalvorine (SHIFT_LST, default shift.lst)\n"
                 "and, when TRUTH (a truth file of make-sequence) is given, the true shifts beside them.\n"
                 "Frames marked \"Non optimal\" are ringed. The chart goes to CHART.svg (default shift.svg).\n"
                 "With --quality: the quality of every frame in kalvorine's ranking (QUALITE_LST, default\n"
                 "qualite.lst) as bars, the frames kept by Selection marked and the threshold drawn (default\n"
                 "quality.svg).\n");
}

int fail(const std::string& why) {
    std::fprintf(stderr, "shift-chart: %s\n", why.c_str());
    return 2;
}

}   // namespace

int qualityChart(const std::string& output, std::string title, const std::string& path) {
    std::string error;
    std::vector<QualityEntry> entries;
    if (!readRanking(path, entries, error)) return fail(error);
    if (title.empty()) title = "Frame quality measured by kalvorine";
    std::ofstream out(output, std::ios::binary);
    out << qualityChartSvg(entries, title);
    out.close();
    if (!out) return fail("cannot write " + output);
    std::size_t kept = 0;
    for (const QualityEntry& e : entries) kept += e.kept ? 1 : 0;
    std::printf("shift-chart: %s: %zu frames, %zu kept\n", output.c_str(), entries.size(), kept);
    return 0;
}

int main(int argc, char** argv) {
    std::string output, title, shiftPath, truthPath;
    bool quality = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            printUsage(stdout);
            return 0;
        } else if (arg == "--quality") {
            quality = true;
        } else if ((arg == "-o" || arg == "--title") && i + 1 < argc) {
            (arg == "-o" ? output : title) = argv[++i];
        } else if (!arg.empty() && arg[0] == '-') {
            printUsage(stderr);
            return fail("unknown option " + arg);
        } else if (shiftPath.empty()) {
            shiftPath = arg;
        } else if (truthPath.empty()) {
            truthPath = arg;
        } else {
            printUsage(stderr);
            return fail("too many arguments");
        }
    }
    if (quality) {
        if (!truthPath.empty()) return fail("--quality takes one file");
        return qualityChart(output.empty() ? "quality.svg" : output, title,
                            shiftPath.empty() ? "qualite.lst" : shiftPath);
    }
    if (output.empty()) output = "shift.svg";
    if (shiftPath.empty()) shiftPath = "shift.lst";

    std::string error;
    std::vector<ShiftEntry> found;
    if (!readShiftLog(shiftPath, found, error)) return fail(error);
    std::vector<TrueShift> truth;
    if (!truthPath.empty()) {
        std::vector<kalseq::FrameTruth> frames;
        if (!kalseq::readTruth(truthPath, frames, error)) return fail(error);
        for (std::size_t k = 1; k < frames.size(); ++k) truth.push_back({frames[k].shiftX, frames[k].shiftY});
    }
    if (title.empty())
        title = truth.empty() ? "Shifts found by kalvorine" : "Shifts found by kalvorine and true shifts";

    std::ofstream out(output, std::ios::binary);
    out << shiftChartSvg(found, truth, title);
    out.close();
    if (!out) return fail("cannot write " + output);

    std::size_t nonOptimal = 0;
    double worst = 0;
    for (std::size_t k = 0; k < found.size(); ++k) {
        if (found[k].nonOptimal) ++nonOptimal;
        if (k < truth.size()) {
            worst = std::fmax(worst, std::fabs(found[k].shiftX - truth[k].shiftX));
            worst = std::fmax(worst, std::fabs(found[k].shiftY - truth[k].shiftY));
        }
    }
    std::printf("shift-chart: %s: %zu frames, %zu Non optimal", output.c_str(), found.size(), nonOptimal);
    if (!truth.empty()) {
        if (truth.size() != found.size()) std::printf(", %zu true shifts for %zu found", truth.size(), found.size());
        std::printf(", largest |found - true| %.2f px", worst);
    }
    std::printf("\n");
    return 0;
}

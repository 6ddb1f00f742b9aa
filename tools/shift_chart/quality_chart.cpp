#include "shift_chart/quality_chart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "shift_chart/svg_text.h"

namespace {

constexpr double kWidth = 760;
constexpr double kPlotLeft = 80;
constexpr double kPlotRight = 735;
constexpr double kPlotTop = 90;
constexpr double kPlotHeight = 300;

const char* const kKeptColour = "#1f5fbf";
const char* const kAsideColour = "#b8b8b8";
const char* const kThresholdColour = "#d62728";

using svg::escapeXml;
using svg::num;

double tickStep(double range) { return svg::tickStep(range, 1e-6); }

}   // namespace

bool readRanking(const std::string& path, std::vector<QualityEntry>& out, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    out.clear();
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        std::istringstream fields(line);
        QualityEntry e;
        std::string quality, verdict;
        if (!(fields >> e.frame >> e.file >> quality >> e.rank >> verdict) ||
            (verdict != "retenue" && verdict != "ecartee")) {
            error = path + ":" + std::to_string(lineNo) +
                    ": expected \"number file quality rank retenue|ecartee\", got \"" + line + "\"";
            return false;
        }
        e.kept = verdict == "retenue";
        e.readable = quality != "illisible";
        if (e.readable) {
            char* end = nullptr;
            e.quality = std::strtod(quality.c_str(), &end);
            if (end == quality.c_str() || *end != '\0') {
                error = path + ":" + std::to_string(lineNo) + ": not a quality: " + quality;
                return false;
            }
        }
        out.push_back(e);
    }
    return true;
}

std::string qualityChartSvg(const std::vector<QualityEntry>& entries, const std::string& title) {
    double highest = 0, threshold = -1;
    std::size_t kept = 0;
    for (const QualityEntry& e : entries) {
        highest = std::max(highest, e.quality);
        if (e.kept) {
            ++kept;
            threshold = threshold < 0 ? e.quality : std::min(threshold, e.quality);
        }
    }
    const double step = tickStep(highest > 0 ? highest : 1);
    const double top = std::ceil((highest > 0 ? highest : 1) / step) * step;
    const std::size_t count = std::max<std::size_t>(entries.size(), 1);
    const double slot = (kPlotRight - kPlotLeft) / double(count);
    const double bottom = kPlotTop + kPlotHeight;
    auto valueY = [&](double v) { return bottom - kPlotHeight * v / top; };

    std::ostringstream s;
    const double height = bottom + 60;
    s << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    s << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << num(kWidth) << "\" height=\"" << num(height)
      << "\" viewBox=\"0 0 " << num(kWidth) << " " << num(height) << "\" font-family=\"sans-serif\">\n";
    s << "<rect width=\"100%\" height=\"100%\" fill=\"#fafafa\"/>\n";
    s << "<text x=\"" << num(kWidth / 2) << "\" y=\"26\" text-anchor=\"middle\" font-size=\"16\" font-weight=\"bold\">"
      << escapeXml(title) << "</text>\n";
    // Legend.
    const double ly = 58;
    s << "<rect x=\"" << num(kPlotLeft) << "\" y=\"" << num(ly - 6) << "\" width=\"12\" height=\"12\" fill=\""
      << kKeptColour << "\"/>\n<text x=\"" << num(kPlotLeft + 18) << "\" y=\"" << num(ly + 4)
      << "\" font-size=\"13\">kept (retenue, " << kept << ")</text>\n";
    s << "<rect x=\"" << num(kPlotLeft + 170) << "\" y=\"" << num(ly - 6) << "\" width=\"12\" height=\"12\" fill=\""
      << kAsideColour << "\"/>\n<text x=\"" << num(kPlotLeft + 188) << "\" y=\"" << num(ly + 4)
      << "\" font-size=\"13\">set aside (ecartee, " << entries.size() - kept << ")</text>\n";
    s << "<line x1=\"" << num(kPlotLeft + 370) << "\" y1=\"" << num(ly) << "\" x2=\"" << num(kPlotLeft + 400)
      << "\" y2=\"" << num(ly) << "\" stroke=\"" << kThresholdColour
      << "\" stroke-width=\"2\" stroke-dasharray=\"6 4\"/>\n";
    s << "<text x=\"" << num(kPlotLeft + 408) << "\" y=\"" << num(ly + 4) << "\" font-size=\"13\">threshold</text>\n";

    // Frame, grid and value ticks.
    s << "<rect x=\"" << num(kPlotLeft) << "\" y=\"" << num(kPlotTop) << "\" width=\"" << num(kPlotRight - kPlotLeft)
      << "\" height=\"" << num(kPlotHeight) << "\" fill=\"#ffffff\" stroke=\"#444444\"/>\n";
    for (int k = 0; k * step <= top * (1 + 1e-9); ++k) {
        const double v = k * step, y = valueY(v);
        s << "<line x1=\"" << num(kPlotLeft) << "\" y1=\"" << num(y) << "\" x2=\"" << num(kPlotRight) << "\" y2=\""
          << num(y) << "\" stroke=\"#e4e4e4\"/>\n<text x=\"" << num(kPlotLeft - 8) << "\" y=\"" << num(y + 4)
          << "\" text-anchor=\"end\" font-size=\"12\">" << v << "</text>\n";
    }
    const double midY = kPlotTop + kPlotHeight / 2;
    s << "<text x=\"22\" y=\"" << num(midY) << "\" text-anchor=\"middle\" font-size=\"13\" transform=\"rotate(-90 22 "
      << num(midY) << ")\">quality</text>\n";
    s << "<text x=\"" << num((kPlotLeft + kPlotRight) / 2) << "\" y=\"" << num(bottom + 40)
      << "\" text-anchor=\"middle\" font-size=\"13\">frame (line of qualite.lst)</text>\n";

    // Bars.
    const std::size_t labelEvery = count <= 30 ? 1 : (count + 29) / 30;
    for (std::size_t k = 0; k < entries.size(); ++k) {
        const QualityEntry& e = entries[k];
        const double x = kPlotLeft + slot * double(k), y = valueY(e.quality);
        s << "<rect x=\"" << num(x + slot * 0.15) << "\" y=\"" << num(y) << "\" width=\"" << num(slot * 0.7)
          << "\" height=\"" << num(bottom - y) << "\" fill=\"" << (e.kept ? kKeptColour : kAsideColour)
          << "\"><title>frame " << e.frame << " (" << escapeXml(e.file) << "): ";
        if (e.readable) {
            s << "quality " << e.quality << ", rank " << e.rank;
        } else {
            s << "unreadable";
        }
        s << (e.kept ? ", kept" : ", set aside") << "</title></rect>\n";
        if (k % labelEvery == 0) {
            s << "<text x=\"" << num(x + slot / 2) << "\" y=\"" << num(bottom + 17)
              << "\" text-anchor=\"middle\" font-size=\"12\">" << e.frame << "</text>\n";
        }
    }
    if (threshold >= 0) {
        const double y = valueY(threshold);
        s << "<line x1=\"" << num(kPlotLeft) << "\" y1=\"" << num(y) << "\" x2=\"" << num(kPlotRight) << "\" y2=\""
          << num(y) << "\" stroke=\"" << kThresholdColour
          << "\" stroke-width=\"2\" stroke-dasharray=\"6 4\"><title>threshold " << threshold << "</title></line>\n";
    }
    s << "</svg>\n";
    return s.str();
}

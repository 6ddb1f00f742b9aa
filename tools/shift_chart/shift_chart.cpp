#include "shift_chart/shift_chart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "shift_chart/svg_text.h"

namespace {

constexpr double kWidth = 760;
constexpr double kPlotLeft = 80;
constexpr double kPlotRight = 735;
constexpr double kPanelHeight = 210;
constexpr double kFirstPanelTop = 100;
constexpr double kPanelGap = 60;

const char* const kFoundColour = "#1f5fbf";
const char* const kTrueColour = "#e07000";
const char* const kWarningColour = "#d62728";

using svg::escapeXml;
using svg::num;

double tickStep(double range) { return svg::tickStep(range, 1); }

struct Axis {
    double low = 0;    // value at the bottom of the panel
    double high = 0;   // value at the top
    double step = 1;   // tick spacing
};

Axis axisFor(const std::vector<double>& values) {
    double lo = 0, hi = 0;   // zero is always shown
    for (const double v : values) {
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    Axis a;
    a.step = tickStep(std::max(hi - lo, 1.0) + 2);
    a.low = std::floor((lo - 1) / a.step) * a.step;
    a.high = std::ceil((hi + 1) / a.step) * a.step;
    return a;
}

double frameX(std::size_t frame, std::size_t count) {   // frame numbered from 1
    return kPlotLeft + (kPlotRight - kPlotLeft) * (double(frame) - 0.5) / double(count);
}

double valueY(double v, const Axis& a, double top) { return top + kPanelHeight * (a.high - v) / (a.high - a.low); }

void drawPanel(std::ostringstream& s, double top, const char* axisName, const char* label,
               const std::vector<ShiftEntry>& found, const std::vector<TrueShift>& truth, bool isX, bool lastPanel) {
    const std::size_t count = std::max<std::size_t>(std::max(found.size(), truth.size()), 1);
    std::vector<double> values;
    for (const ShiftEntry& e : found) values.push_back(isX ? e.shiftX : e.shiftY);
    for (const TrueShift& t : truth) values.push_back(isX ? t.shiftX : t.shiftY);
    const Axis a = axisFor(values);

    // Frame, grid and value ticks.
    s << "<rect x=\"" << num(kPlotLeft) << "\" y=\"" << num(top) << "\" width=\"" << num(kPlotRight - kPlotLeft)
      << "\" height=\"" << num(kPanelHeight) << "\" fill=\"#ffffff\" stroke=\"#444444\"/>\n";
    for (double v = a.low; v <= a.high + 1e-9; v += a.step) {
        const double y = valueY(v, a, top);
        s << "<line x1=\"" << num(kPlotLeft) << "\" y1=\"" << num(y) << "\" x2=\"" << num(kPlotRight) << "\" y2=\""
          << num(y) << "\" stroke=\"" << (v == 0 ? "#888888" : "#e4e4e4") << "\"/>\n";
        s << "<text x=\"" << num(kPlotLeft - 8) << "\" y=\"" << num(y + 4) << "\" text-anchor=\"end\" font-size=\"12\">"
          << v << "</text>\n";
    }
    const std::size_t labelEvery = count <= 30 ? 1 : (count + 29) / 30;
    for (std::size_t f = 1; f <= count; ++f) {
        const double x = frameX(f, count);
        s << "<line x1=\"" << num(x) << "\" y1=\"" << num(top + kPanelHeight) << "\" x2=\"" << num(x) << "\" y2=\""
          << num(top + kPanelHeight + 5) << "\" stroke=\"#444444\"/>\n";
        if ((f - 1) % labelEvery == 0) {
            s << "<text x=\"" << num(x) << "\" y=\"" << num(top + kPanelHeight + 19)
              << "\" text-anchor=\"middle\" font-size=\"12\">" << f << "</text>\n";
        }
    }
    // Axis titles.
    const double midY = top + kPanelHeight / 2;
    s << "<text x=\"22\" y=\"" << num(midY) << "\" text-anchor=\"middle\" font-size=\"13\" transform=\"rotate(-90 22 "
      << num(midY) << ")\">" << label << "</text>\n";
    if (lastPanel) {
        s << "<text x=\"" << num((kPlotLeft + kPlotRight) / 2) << "\" y=\"" << num(top + kPanelHeight + 40)
          << "\" text-anchor=\"middle\" font-size=\"13\">frame (line of shift.lst)</text>\n";
    }

    // True shifts: dashed line, hollow squares.
    if (!truth.empty()) {
        s << "<polyline fill=\"none\" stroke=\"" << kTrueColour
          << "\" stroke-width=\"1.5\" stroke-dasharray=\"6 4\" points=\"";
        for (std::size_t k = 0; k < truth.size(); ++k) {
            s << num(frameX(k + 1, count)) << "," << num(valueY(isX ? truth[k].shiftX : truth[k].shiftY, a, top))
              << " ";
        }
        s << "\"/>\n";
        for (std::size_t k = 0; k < truth.size(); ++k) {
            const double v = isX ? truth[k].shiftX : truth[k].shiftY;
            const double x = frameX(k + 1, count), y = valueY(v, a, top);
            s << "<rect x=\"" << num(x - 4.5) << "\" y=\"" << num(y - 4.5)
              << "\" width=\"9\" height=\"9\" fill=\"#ffffff\" stroke=\"" << kTrueColour
              << "\" stroke-width=\"2\"><title>frame " << k + 1 << ": true " << axisName << " = " << v
              << "</title></rect>\n";
        }
    }
    // Found shifts: solid line, filled circles; "Non optimal" ringed.
    if (!found.empty()) {
        s << "<polyline fill=\"none\" stroke=\"" << kFoundColour << "\" stroke-width=\"1.5\" points=\"";
        for (std::size_t k = 0; k < found.size(); ++k) {
            s << num(frameX(k + 1, count)) << "," << num(valueY(isX ? found[k].shiftX : found[k].shiftY, a, top))
              << " ";
        }
        s << "\"/>\n";
    }
    for (std::size_t k = 0; k < found.size(); ++k) {
        const int v = isX ? found[k].shiftX : found[k].shiftY;
        const double x = frameX(k + 1, count), y = valueY(v, a, top);
        if (found[k].nonOptimal) {
            s << "<circle cx=\"" << num(x) << "\" cy=\"" << num(y) << "\" r=\"9\" fill=\"none\" stroke=\""
              << kWarningColour << "\" stroke-width=\"2\"/>\n";
        }
        s << "<circle cx=\"" << num(x) << "\" cy=\"" << num(y) << "\" r=\"4\" fill=\"" << kFoundColour
          << "\"><title>frame " << k + 1 << ": found " << axisName << " = " << v;
        if (k < truth.size()) s << " (true " << (isX ? truth[k].shiftX : truth[k].shiftY) << ")";
        if (found[k].nonOptimal) s << ", Non optimal";
        s << "</title></circle>\n";
    }
}

}   // namespace

bool parseShiftLine(const std::string& line, ShiftEntry& out) {
    const char* p = line.c_str();
    char* end = nullptr;
    const long x = std::strtol(p, &end, 10);
    if (end == p) return false;
    p = end;
    const long y = std::strtol(p, &end, 10);
    if (end == p) return false;
    out.shiftX = int(x);
    out.shiftY = int(y);
    out.nonOptimal = std::string(end).find("Non optimal") != std::string::npos;
    return true;
}

bool readShiftLog(const std::string& path, std::vector<ShiftEntry>& out, std::string& error) {
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
        ShiftEntry e;
        if (!parseShiftLine(line, e)) {
            error = path + ":" + std::to_string(lineNo) + ": expected \"X Y\", got \"" + line + "\"";
            return false;
        }
        out.push_back(e);
    }
    return true;
}

std::string shiftChartSvg(const std::vector<ShiftEntry>& found, const std::vector<TrueShift>& truth,
                          const std::string& title) {
    const double secondTop = kFirstPanelTop + kPanelHeight + kPanelGap;
    const double height = secondTop + kPanelHeight + 60;
    std::ostringstream s;
    s << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    s << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << num(kWidth) << "\" height=\"" << num(height)
      << "\" viewBox=\"0 0 " << num(kWidth) << " " << num(height) << "\" font-family=\"sans-serif\">\n";
    s << "<rect width=\"100%\" height=\"100%\" fill=\"#fafafa\"/>\n";
    s << "<text x=\"" << num(kWidth / 2) << "\" y=\"26\" text-anchor=\"middle\" font-size=\"16\" font-weight=\"bold\">"
      << escapeXml(title) << "</text>\n";

    // Legend.
    double x = kPlotLeft;
    const double y = 58;
    s << "<line x1=\"" << num(x) << "\" y1=\"" << num(y) << "\" x2=\"" << num(x + 30) << "\" y2=\"" << num(y)
      << "\" stroke=\"" << kFoundColour << "\" stroke-width=\"1.5\"/>\n";
    s << "<circle cx=\"" << num(x + 15) << "\" cy=\"" << num(y) << "\" r=\"4\" fill=\"" << kFoundColour << "\"/>\n";
    s << "<text x=\"" << num(x + 38) << "\" y=\"" << num(y + 4) << "\" font-size=\"13\">found (shift.lst)</text>\n";
    x += 175;
    if (!truth.empty()) {
        s << "<line x1=\"" << num(x) << "\" y1=\"" << num(y) << "\" x2=\"" << num(x + 30) << "\" y2=\"" << num(y)
          << "\" stroke=\"" << kTrueColour << "\" stroke-width=\"1.5\" stroke-dasharray=\"6 4\"/>\n";
        s << "<rect x=\"" << num(x + 10.5) << "\" y=\"" << num(y - 4.5)
          << "\" width=\"9\" height=\"9\" fill=\"#ffffff\" stroke=\"" << kTrueColour << "\" stroke-width=\"2\"/>\n";
        s << "<text x=\"" << num(x + 38) << "\" y=\"" << num(y + 4) << "\" font-size=\"13\">true (truth file)</text>\n";
        x += 165;
    }
    s << "<circle cx=\"" << num(x + 15) << "\" cy=\"" << num(y) << "\" r=\"9\" fill=\"none\" stroke=\""
      << kWarningColour << "\" stroke-width=\"2\"/>\n";
    s << "<text x=\"" << num(x + 32) << "\" y=\"" << num(y + 4)
      << "\" font-size=\"13\">Non optimal (on the search range border)</text>\n";

    drawPanel(s, kFirstPanelTop, "X", "X shift (pixels)", found, truth, true, false);
    drawPanel(s, secondTop, "Y", "Y shift (pixels)", found, truth, false, true);
    s << "</svg>\n";
    return s.str();
}

// Small helpers shared by the SVG charts.
#pragma once

#include <cstdio>
#include <string>

namespace svg {

// A coordinate or value with one decimal.
inline std::string num(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

// Text safe inside an SVG element or attribute.
inline std::string escapeXml(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// Tick spacing of 1, 2 or 5 times a power of ten, at least smallest, giving at most about
// eight ticks over the range.
inline double tickStep(double range, double smallest) {
    double step = smallest;
    for (;;) {
        for (const double m : {1.0, 2.0, 5.0}) {
            if (range / (step * m) <= 8) return step * m;
        }
        step *= 10;
    }
}

}   // namespace svg

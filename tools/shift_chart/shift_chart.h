// The shift chart: kalvorine's shift.lst (and optionally a make-sequence truth file) drawn
// as an SVG chart of the X and Y shift per frame.
#pragma once

#include <string>
#include <vector>

// One line of shift.lst: "X Y " optionally followed by "  Non optimal".
struct ShiftEntry {
    int shiftX = 0;
    int shiftY = 0;
    bool nonOptimal = false;   // the best shift lay on the border of the search range
};

// A true shift, as listed by the truth file.
struct TrueShift {
    double shiftX = 0;
    double shiftY = 0;
};

// Reads shift.lst; blank lines are skipped. On a malformed line returns false and says why.
bool readShiftLog(const std::string& path, std::vector<ShiftEntry>& out, std::string& error);

// Parses one shift.lst line; false when it holds no two integers.
bool parseShiftLine(const std::string& line, ShiftEntry& out);

// The whole SVG document. `truth` may be empty (found shifts only); otherwise entry k is
// the true shift of the frame of shift.lst line k + 1.
std::string shiftChartSvg(const std::vector<ShiftEntry>& found, const std::vector<TrueShift>& truth,
                          const std::string& title);

// The quality chart: kalvorine's qualite.lst drawn as an SVG bar chart of the quality of
// every frame, the frames kept by the selection marked and the threshold drawn.
#pragma once

#include <string>
#include <vector>

// One line of qualite.lst: "number file quality rank retenue|ecartee", or "number file
// illisible 0 ecartee" for a frame that could not be read.
struct QualityEntry {
    int frame = 0;
    std::string file;
    bool readable = false;
    double quality = 0;
    int rank = 0;
    bool kept = false;
};

// Reads qualite.lst; blank lines are skipped. On a malformed line returns false and says why.
bool readRanking(const std::string& path, std::vector<QualityEntry>& out, std::string& error);

// The whole SVG document: one bar per line of the ranking, in its order.
std::string qualityChartSvg(const std::vector<QualityEntry>& entries, const std::string& title);

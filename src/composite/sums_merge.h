// kalvorine-merge: the raw sums ("Sommes") of runs over parts of a sequence, added into the
// files one run over the whole sequence would have written.
#pragma once

#include <string>
#include <vector>

// Suffix of the merged raw sums file, after the output stem.
inline constexpr const char* kMergedSumsSuffix = "S.fit";

// Reads every part, refuses the lot (writing nothing) when one cannot be read or was made
// against another reference, then writes stem + "R.fit", "V.fit", "B.fit" and ".bmp" as a
// run with "Compositage stem.bmp" over all the parts' frames would have, and the merged sums
// to stem + kMergedSumsSuffix. The stem is used as given: a '.' in it does not cut it short.
// Returns the exit status: 0 written, 1 refused or a file not written, 2 no part given.
int mergeSumsFiles(const std::string& stem, const std::vector<std::string>& parts);

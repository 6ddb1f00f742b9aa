// Byte-exact comparison with files kept under tests/data/golden/<case>/.
//
// The extended-precision program is compared with <case>/<name>; the SSE program with
// <case>/sse/<name> where that exists (results may differ where a truncated value lies
// next to a whole number) and with <case>/<name> otherwise. Run the tests with
// KAL_UPDATE_GOLDEN=1 to rewrite the files from the present outputs.
#pragma once

#include <string>

bool goldenUpdateMode();

// Non-fatal gtest failure when actual differs from the golden file.
void expectGolden(const std::string& caseName, const std::string& fileName, const std::string& actual, bool sse);

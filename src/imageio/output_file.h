// Output files rewritten whole.
#pragma once

#include <cstdio>

// Opens path to receive a whole new content, as fopen(path, "wb") does, except that an
// existing regular file is written over in place and cut to length when closed: the system
// then reuses its pages rather than freeing them all and allocating them again. Null when
// the file cannot be opened.
std::FILE* openForRewrite(const char* path);

// Cuts the file at the end of what was written and closes it; false when a write, the cut or
// the close failed.
bool closeRewritten(std::FILE* file);

// Which vector instructions the search engine uses: AVX2 where the processor has it, else
// the SSE2 every x86-64 processor has. Both give the same bytes; tests switch between them.
#pragma once

bool useAvx2();
void setUseAvx2(bool enabled);   // ignored (stays off) when the processor lacks AVX2

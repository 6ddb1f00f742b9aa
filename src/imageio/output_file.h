// Output files that never lose data. A regular destination is written to a temporary file
// beside it ("<name>.XXXXXX.kalvorine-tmp") and renamed over it only once complete, so that
// until then it keeps its earlier content, and a failure removes only the temporary file.
// A destination that is not a regular file (a device, a FIFO, a terminal) is written as a
// stream and never removed or replaced; a symbolic link is followed (its target gets the new
// content, the link stays).
#pragma once

#include <cstdio>
#include <string>

enum class OutputOpen {
    opened,
    folder,   // the destination is a folder
    failed,   // the file (or its temporary) could not be created
};

struct OutputFile {
    std::FILE* file = nullptr;   // null when not open
    std::string path;            // the destination, symbolic links resolved
    std::string temporary;       // empty when the destination is written as a stream
};

// Opens an output for path; on anything but opened the record stays closed.
OutputOpen openOutput(OutputFile& out, const char* path);

// Flushes and closes the output and, for a regular destination, renames the temporary file
// over it. With durable the data reach the disk (fsync) before the rename, so that a power
// cut cannot leave an empty file under the final name (the rename itself may then be lost,
// leaving the earlier content: the folder is not synced). false when anything failed: the
// temporary file is then removed and the destination keeps its earlier content.
bool commitOutput(OutputFile& out, bool durable);

// Closes the output and removes its temporary file; the destination is left as it was.
void discardOutput(OutputFile& out);

// What a writer prints after its file name when openOutput did not open it.
const char* outputOpenError(OutputOpen why);

// Removes every temporary file that an open output still holds. Async-signal-safe, for the
// handlers of SIGINT and SIGTERM and for the fatal stop.
void removeTemporaryOutputs();

// SIGINT and SIGTERM remove the temporary files of the open outputs, then end the process as
// the signal would have.
void removeTemporaryOutputsOnSignals();

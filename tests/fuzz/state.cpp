// The driver's per-process state text: read back whole through a file, then parsed.
#include "vorn.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {
int file = -1;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    file = memfd_create("state", MFD_CLOEXEC);
    if (file < 0) {
        perror("memfd_create");
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    std::string_view text(reinterpret_cast<const char *>(Data), Size);
    if (ftruncate(file, 0) != 0 || pwrite(file, Data, Size, 0) != ssize_t(Size) || lseek(file, 0, SEEK_SET) != 0)
        abort();
    auto read = vorn::readProcFile(file);
    if (!read || *read != text) // a state file is read to its end, byte for byte
        abort();

    // One entry at most per line: a line is a node, a reference, or nothing of ours.
    size_t lines = size_t(std::count(text.begin(), text.end(), '\n')) + 1;
    if (vorn::parseState(text).size() > lines)
        abort();
    return 0;
}

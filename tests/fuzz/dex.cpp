// The zip and dex readers on any bytes, as a file or an archive: they stay within the bytes,
// and what they find is in number order, with types only where the interface gave them.
#include <dex.h>

#include <algorithm>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    for (const char *descriptor : {"com.example.vorn.ISample", "com.example.vorn.IOuter.ICallback"}) {
        auto found = dex::findInBytes({Data, Size}, descriptor, "f", [](const std::string &Why) {
            if (!Why.starts_with("f"))
                abort();
        });
        if (!found)
            continue;
        auto &methods = found->methods;
        if (!std::is_sorted(methods.begin(), methods.end(), [](auto &a, auto &b) { return a.code < b.code; }))
            abort();
        for (const dex::Method &m : methods)
            if (!m.typed && (m.returns != "?" || !m.params.empty()))
                abort();
    }
    return 0;
}

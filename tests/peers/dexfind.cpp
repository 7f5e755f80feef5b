// scripts/bench's host side of the dex reader: finds an interface in files as vorn does and
// prints where, and how many methods it has; status 1 when it is not found.
//
//   peer-dexfind DESCRIPTOR FILE...
#include <dex.h>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s DESCRIPTOR FILE...\n", argv[0]);
        return 2;
    }
    std::vector<std::string> files(argv + 2, argv + argc);
    auto found = dex::find(argv[1], files, [](const std::string &Why) { fprintf(stderr, "%s\n", Why.c_str()); });
    if (!found)
        return 1;
    printf("%s: %zu methods\n", found->source.c_str(), found->methods.size());
    return 0;
}

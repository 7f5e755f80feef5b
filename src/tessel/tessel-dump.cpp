// Developer aid: parses each AIDL file named on the command line and lists its methods with
// their transaction codes (HTML set: as an HTML table).
#include <cstdio>

#include "tessel.h"

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE.aidl...\n", argv[0]);
        return 2;
    }
    int Status = 0;
    for (int I = 1; I < argc; ++I) {
        if (const aidl *Aidl = tessel(argv[I])) {
            printMethodsOfAIDL(argv[I], Aidl);
        } else {
            fprintf(stderr, "%s: no interface read (ZQDEBUG=1 shows why a file cannot be opened)\n", argv[I]);
            Status = 1;
        }
    }
    return Status;
}

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
    int status = 0;
    try {
        for (int i = 1; i < argc; ++i) {
            if (aidl *record = tessel(argv[i])) {
                printMethodsOfAIDL(argv[i], record);
                freeAIDL(record);
            } else {
                fprintf(stderr, "%s: no interface read (ZQDEBUG=1 shows why a file cannot be opened)\n", argv[i]);
                status = 1;
            }
        }
    } catch (const TesselExit &end) {
        return end.status;
    }
    return status;
}

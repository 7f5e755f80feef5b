// What a piece of code writes on standard output and standard error, for the tests of
// both the tool and the AIDL module.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

struct Result {
    std::string out, err;
    int status;
};

// Runs Body with descriptors 1 and 2 sent to temporary files; Body's result is the status.
inline Result capture(const std::function<int()> &Body)
{
    fflush(nullptr);
    FILE *files[2] = {tmpfile(), tmpfile()};
    int saved[2] = {dup(1), dup(2)};
    for (int i : {0, 1})
        dup2(fileno(files[i]), i + 1);
    int status = Body();
    fflush(nullptr);
    std::string text[2];
    for (int i : {0, 1}) {
        dup2(saved[i], i + 1);
        close(saved[i]);
        rewind(files[i]);
        for (int c; (c = fgetc(files[i])) != EOF;)
            text[i] += char(c);
        fclose(files[i]);
    }
    return {text[0], text[1], status};
}

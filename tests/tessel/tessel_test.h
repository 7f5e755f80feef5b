#pragma once
// Helpers for the AIDL module tests: output capture, environment, scratch files, record shapes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <span>
#include <string>

#include "capture.h"
#include "tessel.h"

// Sets an environment variable (unsets it for null) until the end of the scope.
struct scopedEnv {
    const char *Name;
    scopedEnv(const char *N, const char *Value) : Name(N) { Value ? setenv(N, Value, 1) : unsetenv(N); }
    ~scopedEnv() { unsetenv(Name); }
};

// A fresh directory, removed with its contents at the end of the scope.
struct scratchDir {
    std::string Path = std::filesystem::temp_directory_path() / "tesselXXXXXX";
    scratchDir() { mkdtemp(Path.data()); }
    ~scratchDir() { std::filesystem::remove_all(Path); }
    std::string write(const std::string &Name, const std::string &Text) const
    {
        std::ofstream(Path + "/" + Name) << Text;
        return Path + "/" + Name;
    }
};

// A parsed record on one line: [name] then, per method, returns|name(type|arg, ...).
inline std::string shape(const aidl *Aidl)
{
    if (!Aidl)
        return "null";
    std::string Text = std::string("[").append(Aidl->name).append("]");
    for (const aidlMethod &Method : std::span(Aidl->methods, size_t(Aidl->numMethods))) {
        Text.append(" ").append(Method.returns).append("|").append(Method.name).append("(");
        for (int A = 0; A < Method.numArgs; ++A)
            Text.append(A ? ", " : "").append(Method.args[A].type).append("|").append(Method.args[A].name);
        Text += ")";
    }
    return Text;
}

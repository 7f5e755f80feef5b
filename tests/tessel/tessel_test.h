#pragma once
// Helpers for the AIDL module tests: environment, scratch files, record shapes, what a call prints.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <span>
#include <string>

#include "capture.h"
#include "tessel.h"

// A fresh directory, removed with its contents at the end of the scope.
struct ScratchDir {
    std::string path = std::filesystem::temp_directory_path() / "tesselXXXXXX";
    ScratchDir() { mkdtemp(path.data()); }
    ~ScratchDir() { std::filesystem::remove_all(path); }
    std::string write(const std::string &Name, const std::string &Text) const
    {
        std::ofstream(path + "/" + Name) << Text;
        return path + "/" + Name;
    }
};

// A parsed record on one line: [name] then, per method, returns|name(type|arg, ...). Frees it.
inline std::string shape(aidl *Aidl)
{
    if (!Aidl)
        return "null";
    std::string text = std::string("[").append(Aidl->name).append("]");
    for (const aidlMethod &method : std::span(Aidl->methods, size_t(Aidl->numMethods))) {
        text.append(" ").append(method.returns).append("|").append(method.name).append("(");
        for (int a = 0; a < method.numArgs; ++a)
            text.append(a ? ", " : "").append(method.args[a].type).append("|").append(method.args[a].name);
        text += ")";
    }
    freeAIDL(Aidl);
    return text;
}

// A record the module allocated, freed with freeAIDL.
struct Freer {
    void operator()(aidl *Aidl) const { freeAIDL(Aidl); }
};
using OwnedAidl = std::unique_ptr<aidl, Freer>;

// What Body prints, with the status it ends its command with as status (-1 when it returns).
inline Result ended(const std::function<void()> &Body)
{
    return capture([&] {
        try {
            Body();
        } catch (const TesselExit &end) {
            return end.status;
        }
        return -1;
    });
}

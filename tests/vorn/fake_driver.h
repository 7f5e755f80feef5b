// The unit tests' fixture over the fake driver, and the row runner of whole command lines.
#pragma once

#include "capture.h"
#include "driver.h"

#include <gtest/gtest.h>

// One run, as a user sees it.
Result runVorn(std::vector<std::string> Words);
std::string hex(std::span<const uint8_t> Bytes);
std::string dumped(const Bytes &B); // as the hex dump shows B

// Clears the tool's environment switches and installs a fresh fake driver for every test.
class VornTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override { SetUp(); }
    void env(const char *Name, const char *Value = "1") { setenv(Name, Value, 1); }
    // A session as the front end opens it, for calling subsystems directly; the settings are
    // read from the environment as it stands.
    vorn::Session &attach(int Release, int Ns = vorn::NS_BINDER);
    FakeDriver fake;
    vorn::Settings settings;
    std::optional<vorn::Session> session;
};

// A command line run against a script, and what it must print and end with. Every row runs
// with an AIDL directory that holds t.IT (AIDL_IT).
struct Row {
    Row(const char *Name, const char *Release, std::vector<std::string> Words, std::vector<Answer> Script,
        std::string Out, std::string Err, int Status)
        : name(Name), release(Release), words(std::move(Words)), script(std::move(Script)), out(std::move(Out)),
          err(std::move(Err)), status(Status)
    {
    }
    const char *name;
    const char *release; // "A11" or "NOT10"
    std::vector<std::string> words;
    std::vector<Answer> script;
    std::string out, err;
    int status;
};
extern const char *const AIDL_IT;
// What a call to a process that died says.
extern const std::string DIED;
class Run : public VornTest, public ::testing::WithParamInterface<Row> {};
std::string rowName(const ::testing::TestParamInfo<Row> &Info);

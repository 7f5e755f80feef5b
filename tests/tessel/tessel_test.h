#pragma once
// Helpers for the AIDL module tests: output capture, scoped environment, scratch files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "tessel.h"

struct output {
  std::string Out, Err;
};

inline std::string readAll(FILE *File) {
  std::string Text;
  rewind(File);
  for (int C; (C = fgetc(File)) != EOF;) Text += char(C);
  fclose(File);
  return Text;
}

// Runs Body with file descriptors 1 and 2 sent to temporary files and returns what it wrote.
template <typename F>
output captured(F Body) {
  fflush(stdout);
  fflush(stderr);
  FILE *Out = tmpfile(), *Err = tmpfile();
  int SavedOut = dup(1), SavedErr = dup(2);
  dup2(fileno(Out), 1);
  dup2(fileno(Err), 2);
  Body();
  fflush(stdout);
  fflush(stderr);
  dup2(SavedOut, 1);
  dup2(SavedErr, 2);
  close(SavedOut);
  close(SavedErr);
  return {readAll(Out), readAll(Err)};
}

// Sets an environment variable (unsets it for null) until the end of the scope.
struct scopedEnv {
  std::string Name;
  scopedEnv(const char *N, const char *Value) : Name(N) {
    Value ? setenv(N, Value, 1) : unsetenv(N);
  }
  ~scopedEnv() { unsetenv(Name.c_str()); }
};

// A fresh directory for one test, removed with everything in it at the end of the scope.
struct scratchDir {
  std::string Path;
  scratchDir() {
    char Template[] = "/tmp/tesselXXXXXX";
    Path = mkdtemp(Template);
  }
  ~scratchDir() { std::filesystem::remove_all(Path); }
  std::string write(const std::string &Name, const std::string &Text) const {
    std::string File = Path + "/" + Name;
    std::ofstream(File) << Text;
    return File;
  }
};

// One parsed record as one line: [name] then, per method, returns|name(type|arg, ...).
inline std::string shape(const aidl *Aidl) {
  if (!Aidl) return "null";
  std::string Text = "[" + std::string(Aidl->name) + "]";
  for (int M = 0; M < Aidl->numMethods; ++M) {
    const aidlMethod &Method = Aidl->methods[M];
    Text += " " + std::string(Method.returns) + "|" + Method.name + "(";
    for (int A = 0; A < Method.numArgs; ++A)
      Text += std::string(A ? ", " : "") + Method.args[A].type + "|" + Method.args[A].name;
    Text += ")";
  }
  return Text;
}

// Parses Text from a scratch file; its messages name it F.aidl.
inline std::string parsed(const std::string &Text, output *Io = nullptr) {
  scratchDir Dir;
  std::string File = Dir.write("F.aidl", Text), Result;
  output Seen = captured([&] { Result = shape(tessel(File.c_str())); });
  for (size_t At; (At = Seen.Err.find(File)) != std::string::npos;)
    Seen.Err.replace(At, File.size(), "F.aidl");
  if (Io) *Io = Seen;
  return Result;
}

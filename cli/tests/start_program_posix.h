// The console program started by a test, its standard output and standard
// error going to files, and those files read back.
#pragma once
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

// The child's process id (waitpid gives its exit status), or -1. Its
// quarantine key stays in the test's folder when the environment names
// none (the test run by hand, not by ctest), never in the host's own place.
// `input`, when not -1, becomes its standard input.
inline pid_t StartProgram(const char* program, const std::vector<std::string>& args, const std::string& outPath,
                          const std::string& errPath, int input = -1) {
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
    if (input >= 0 && dup2(input, 0) < 0) _exit(127);
    char here[4096];
    if (!getenv("QUELLIX_SCAN_KEY") && getcwd(here, sizeof here))
      setenv("QUELLIX_SCAN_KEY", (std::string(here) + "/test-key/quarantine.key").c_str(), 1);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program, argv.data());
    _exit(127);
  }
  return pid;
}

// A file's bytes, "" when it cannot be opened.
inline std::string ReadWholeFile(const std::string& path) {
  std::string text;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return text;
  char block[65536];
  size_t got;
  while ((got = std::fread(block, 1, sizeof block, f)) > 0) text.append(block, got);
  std::fclose(f);
  return text;
}

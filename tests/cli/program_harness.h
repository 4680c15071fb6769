// The korvane program run as a user runs it: a separate process, its output
// in files, standard input not a terminal. Shared by the program's tests.
#ifndef KORVANE_TESTS_CLI_PROGRAM_HARNESS_H
#define KORVANE_TESTS_CLI_PROGRAM_HARNESS_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

// How one run of the program ended.
struct Outcome {
    int status;       // its exit status
    std::string out;  // what it wrote to standard output
    std::string err;  // what it wrote to standard error
};

// A path of the build machine as the program under test names it.
std::string builtPath(std::string path);

// The program's path as this system names it.
std::string programPath();

// The text quoted for the system's shell.
std::string quoted(const std::string& text);

// A From, a To and a logs folder in a fresh temporary folder.
struct Program : testing::Test {
    TempDir temp;
    void SetUp() override;
    // The path of relative in the temporary folder, as text.
    std::string at(const std::string& relative);
    // Runs korvane with the arguments; prefix goes before the command (a
    // shell setting, or a pipe that feeds standard input), redirect
    // replaces its standard output's redirection.
    // files names the output files apart from another run's at the same time.
    Outcome run(const std::vector<std::string>& arguments, const std::string& prefix = "",
                const std::string& redirect = "", const std::string& files = "");
    // The entries below root, each with a file's contents, sorted.
    std::vector<std::string> tree(const std::string& root);
};

// True when text holds part.
bool contains(const std::string& text, const std::string& part);

#endif

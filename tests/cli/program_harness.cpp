#include "cli/program_harness.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#ifndef _WIN32
#include <sys/wait.h>
#endif

std::string builtPath(std::string path) {
#ifdef _WIN32
    // Built on the Linux side of Wine: its path lies on drive Z:.
    if (!path.empty() && path[0] == '/') {
        path = "Z:" + path;
        for (char& c : path) {
            if (c == '/') c = '\\';
        }
    }
#endif
    return path;
}

std::string programPath() { return builtPath(KORVANE_PROGRAM); }

std::string quoted(const std::string& text) {
#ifdef _WIN32
    return "\"" + text + "\"";
#else
    std::string result = "'";
    for (char c : text) result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return result + "'";
#endif
}

void Program::SetUp() {
    fs::create_directories(temp.at("from"));
    fs::create_directories(temp.at("to"));
    fs::create_directories(temp.at("logs"));
}

std::string Program::at(const std::string& relative) { return temp.at(relative).string(); }

Outcome Program::run(const std::vector<std::string>& arguments, const std::string& prefix, const std::string& redirect,
                     const std::string& files) {
    const std::string out = at(files + "out.txt");
    const std::string err = at(files + "err.txt");
    std::string command = prefix + quoted(programPath());
    for (const std::string& argument : arguments) command += " " + quoted(argument);
    std::string nul = onWindows() ? "NUL" : "/dev/null";
    bool piped = prefix.find('|') != std::string::npos;  // standard input comes from the pipe
    command += (piped ? std::string(" ") : " <" + nul + " ") + (redirect.empty() ? ">" + quoted(out) : redirect) +
               " 2>" + quoted(err);
    std::remove(out.c_str());
#ifdef _WIN32
    int raw = std::system(("\"" + command + "\"").c_str());
    int status = raw;
#else
    int raw = std::system(command.c_str());
    int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
    return Outcome{status, readFile(out), readFile(err)};
}

std::vector<std::string> Program::tree(const std::string& root) {
    std::vector<std::string> entries;
    for (auto& entry : fs::recursive_directory_iterator(temp.at(root))) {
        std::string line = fs::relative(entry.path(), temp.at(root)).generic_string();
        if (fs::is_regular_file(entry.path())) line += " " + readFile(entry.path());
        entries.push_back(line);
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// console_posix.cpp: the command line and the terminal on POSIX, where names and text are bytes.
#include "console.h"

#include <cerrno>

void SetUpStreams() {}

std::vector<Argument> CommandLine(int argc, char** argv) {
    std::vector<Argument> arguments;
    for (int i = 1; i < argc; ++i) arguments.push_back({argv[i], argv[i], true});
    return arguments;
}

void Write(FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
}

std::string ShownName(const std::string& path) { return path; }

bool ReaderLeft(int error) { return error == EPIPE; }

int EndOfRun(int status) { return status; }

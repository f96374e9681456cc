// pathutil_test.cpp: the case-blind comparison and the path split, edge by edge.
#include "pathutil.h"

#include <gtest/gtest.h>

#include <string>

#include "platform.h"

namespace {

// Test paths are written with '|' for the platform's separator.
std::string Native(std::string s) {
    for (char& c : s) {
        if (c == '|') c = kPlatPathSeparator;
    }
    return s;
}

TEST(EqualNoCase, ComparesEveryByteFoldingOnlyAsciiLetters) {
    struct Case {
        std::string a, b;
        bool equal;
    } const cases[] = {
        {"SND", "snd", true},
        {".SnD", ".sNd", true},
        {"VorlindeSnd", "vORLINDEsND", true},
        {"AZ", "az", true},
        {"@[", "`{", false},                       // neighbours of the letter ranges stay apart
        {"\xC0", "\xE0", false},                   // no folding above 7F
        {"\x83\x5C", "\x83\x5C", true},
        {std::string("a\0x", 3), std::string("a\0y", 3), false},  // a zero byte does not stop it
        {std::string("\0\0", 2), std::string("\0\0", 2), true},
        {"", "", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EqualNoCase(c.a.data(), c.b.data(), c.a.size()), c.equal)
            << "'" << c.a << "' vs '" << c.b << "'";
    }
}

TEST(PathSplit, TableOfPaths) {
    const std::string longest(kPathBufferSize - 8, 'd');  // in a path that fills the buffer
    struct Case {
        std::string path;
        bool found;
        std::string directory;
        std::string name;
    } const cases[] = {
        {"C:|data|fx.snd", true, "C:|data|", "fx.snd"},
        {"C:|fx.snd", true, "C:|", "fx.snd"},
        {"fx.snd", false, "", ""},
        {"|fx.snd", false, "", ""},  // a separator at position 0 is never looked at
        {"C:|data|", true, "C:|data|", ""},
        {"||", true, "||", ""},
        {"|", false, "", ""},
        {"", false, "", ""},
        {"a|b|c|d.snd", true, "a|b|c|", "d.snd"},
        {"|" + longest + "|x.snd", true, "|" + longest + "|", "x.snd"},
    };
    for (const Case& c : cases) {
        const std::string path = Native(c.path);
        char directory[kPathBufferSize] = {};
        char name[kPathBufferSize] = {};
        SCOPED_TRACE(path.substr(0, 40) + ", " + std::to_string(path.size()) + " bytes");
        EXPECT_EQ(GetDirectoryPart(path.c_str(), directory), c.found);
        EXPECT_EQ(GetFileNamePart(path.c_str(), name), c.found);
        EXPECT_EQ(std::string(directory), Native(c.directory));
        EXPECT_EQ(std::string(name), Native(c.name));
    }
}

}  // namespace

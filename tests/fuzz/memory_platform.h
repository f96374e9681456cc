// memory_platform.h: files held in memory for the fuzz target, behind the real platform interface.
#pragma once

#include <map>
#include <string>

// Every file there is, by name. Paths are taken as they come: no directories, no current folder.
std::map<std::string, std::string>& MemoryFiles();

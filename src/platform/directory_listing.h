#pragma once

#include <string>
#include <vector>

// Reads the entry names of an open folder, without "." and "..", in the order the system lists
// them. Takes ownership of `folder` and closes it; a negative `folder` stands for a failed open
// whose errno is still set. Returns 0, or the errno value of the failure.
int readEntryNames(int folder, std::vector<std::string>& names);

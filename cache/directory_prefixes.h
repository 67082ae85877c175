#pragma once

#include <string>
#include <vector>

// The directories to create, shortest first, so that each level's parent is tried
// before the level itself: every prefix that ends at a backslash or slash and is
// longer than 3 characters (skipping a drive root such as C:\ and the ".\" of a
// relative root), then the whole path unless it ends at a separator.
std::vector<std::wstring> DirectoryPrefixes(const std::wstring& path);

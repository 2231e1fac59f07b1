#pragma once
// The names the server accepts for folders and files of a project tree, from
// clients and from the remote administration tool alike. Names are system
// text; a path joins components with "\".
//
// A plain name is one component that stays where it is put: not empty, not
// "." or "..", without "\", "/", ":" or control characters. A portable name
// is a plain name that Windows clients keep as it is: it does not end with a
// dot or a blank (Windows would silently drop those, so "a." and "a" or ".. "
// and ".." would name the same entry there).
#include <string_view>

namespace kestrel::projects {

bool IsPlainName(std::string_view name);
bool IsPortableName(std::string_view name);
// True when every "\"-separated component of path is a portable name.
bool IsPortableRelativePath(std::string_view path);
// True when a component of path begins with "~": the names of rights files
// and of everything else the scan keeps to the server.
bool HasServerOnlyComponent(std::string_view path);

}  // namespace kestrel::projects

// A string list of "name: value" lines, such as mail header lines.
#pragma once

#include <string>

#include "platform/classes.h"

class TExStringList : public TStringList {
public:
    // The index of the first line whose name (the text before its first ":") equals Name
    // without regard to letter case; -1 when there is none. A sorted list is searched by halves.
    int IndexOfName(const std::string& Name) const;
    // The value of that line, one leading blank removed; empty when there is no such line.
    std::string GetValue(const std::string& Name) const;
    // Replaces that line by Name ": " Value, or adds it; an empty Value deletes the line.
    void SetValue(const std::string& Name, const std::string& Value);
};

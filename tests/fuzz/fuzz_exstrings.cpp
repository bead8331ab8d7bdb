// TExStringList name and value access on lists built from the input. Input: a flag byte (bit 0:
// sorted), then text whose lines make the list; names to look up are taken from the lines and
// from the last line, which also gives a value to set.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzzpeer.h"
#include "mail/nmextstr.h"

using namespace fuzz;

namespace {

bool HasName(const std::string& Line, const std::string& Name) {
    const size_t colon = Line.find(':');
    return colon != std::string::npos && AnsiCompareText(Line.substr(0, colon), Name) == 0;
}

// The value of a line that has a name: after the first ":", one leading blank removed.
std::string ValueOf(const std::string& Line) {
    std::string value = Line.substr(Line.find(':') + 1);
    if (!value.empty() && value[0] == ' ')
        value.erase(0, 1);
    return value;
}

// The names of the lines as the sorted search orders them, ascending.
bool NamesInOrder(const TExStringList& List) {
    std::string previous;
    for (int i = 0; i < List.Count(); ++i) {
        const std::string& line = List.Strings(i);
        const size_t colon = line.find(':');
        const std::string name = colon == std::string::npos ? "" : line.substr(0, colon);
        if (i > 0 && AnsiCompareText(previous, name) > 0)
            return false;
        previous = name;
    }
    return true;
}

void CheckLookup(const TExStringList& List, const std::string& Name) {
    int first = -1;
    for (int i = 0; i < List.Count() && first < 0; ++i)
        if (HasName(List.Strings(i), Name))
            first = i;
    const int index = List.IndexOfName(Name);
    Check(index >= -1 && index < List.Count(), "IndexOfName out of the list");
    if (index >= 0)
        Check(HasName(List.Strings(index), Name), "IndexOfName found a line of another name",
              List.Strings(index) + " / " + Name);
    if (!List.Sorted)
        Check(index == first, "IndexOfName did not find the first line of the name", Name);
    else if (NamesInOrder(List))
        Check((index >= 0) == (first >= 0), "IndexOfName missed a name", Name);
    const std::string value = List.GetValue(Name);
    Check(value == (index >= 0 ? ValueOf(List.Strings(index)) : ""), "GetValue", Name);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size < 1)
        return 0;
    const bool sorted = Data[0] & 1;
    TStringList source;
    source.SetText(std::string(reinterpret_cast<const char*>(Data) + 1, Size - 1));
    // Names compare through the code page, which is slow for letters beyond ASCII: lists stay
    // short.
    if (source.Count() > 32)
        return 0;

    TExStringList list;
    list.Sorted = sorted;
    for (int i = 0; i < source.Count(); ++i)
        list.Add(source.Strings(i));

    std::vector<std::string> names = {"", "Subject", "TO"};
    for (int i = 0; i < source.Count(); ++i) {
        const std::string& line = source.Strings(i);
        names.push_back(line.substr(0, line.find(':')));
        if (i < 4)
            names.push_back(line);
    }
    for (const std::string& name : names)
        CheckLookup(list, name);

    // SetValue with the last line's name and a value from the first line; an empty value
    // deletes.
    if (source.Count() > 0) {
        const std::string& last = source.Strings(source.Count() - 1);
        const std::string name = last.substr(0, last.find(':'));
        const std::string value = source.Strings(0).substr(0, 20);
        const int before = list.IndexOfName(name);
        const int count = list.Count();
        list.SetValue(name, value);
        if (value.empty()) {
            Check(list.Count() == count - (before >= 0 ? 1 : 0), "SetValue did not delete");
        } else {
            const int at = before >= 0 ? before : count;
            Check(list.Count() == count + (before >= 0 ? 0 : 1), "SetValue count");
            Check(list.Strings(at) == name + ": " + value, "SetValue line", list.Strings(at));
            if (!list.Sorted)
                Check(list.GetValue(name) == value, "GetValue after SetValue", name);
        }
        for (const std::string& n : names)
            CheckLookup(list, n);
    }
    return 0;
}

#include "mail/nmextstr.h"

int TExStringList::IndexOfName(const std::string& Name) const {
    const auto scan = [&] {
        for (int i = 0; i < Count(); ++i) {
            const std::string& line = Strings(i);
            const size_t colon = line.find(':');
            if (colon != std::string::npos && AnsiCompareText(line.substr(0, colon), Name) == 0)
                return i;
        }
        return -1;
    };
    if (!Sorted)
        return scan();
    int low = 0;
    int high = Count() - 1;
    while (high + 1 != low) {
        const int middle = low + (high - low) / 2;
        const std::string& line = Strings(middle);
        const size_t colon = line.find(':');
        const std::string name = colon == std::string::npos ? "" : line.substr(0, colon);
        const int order = AnsiCompareText(name, Name);
        // A line without ":" has no name, so it is no match even for the empty name; the lines
        // are then looked at one by one.
        if (order == 0)
            return colon != std::string::npos ? middle : scan();
        if (order < 0)
            low = middle + 1;
        else
            high = middle - 1;
    }
    return -1;
}

std::string TExStringList::GetValue(const std::string& Name) const {
    const int index = IndexOfName(Name);
    if (index < 0)
        return "";
    const std::string& line = Strings(index);
    std::string value = line.substr(line.find(':') + 1);
    if (!value.empty() && value[0] == ' ')
        value.erase(0, 1);
    return value;
}

void TExStringList::SetValue(const std::string& Name, const std::string& Value) {
    int index = IndexOfName(Name);
    if (Value.empty()) {
        if (index >= 0)
            Delete(index);
        return;
    }
    if (index < 0) {
        Lines.emplace_back();
        index = Count() - 1;
    }
    Lines[static_cast<size_t>(index)] = Name + ": " + Value;
}

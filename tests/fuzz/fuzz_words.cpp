// NthWord, NthPos and ExtractAddress on any text. Input: the delimiter, the field number (a
// signed byte), then the text.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzzpeer.h"
#include "mail/nmsmtp.h"

using namespace fuzz;

namespace {

std::vector<std::string> Fields(const std::string& Text, char Delimiter) {
    std::vector<std::string> fields(1);
    for (char c : Text) {
        if (c == Delimiter)
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

// The text after the first Open up to the next Open or Close.
std::string Between(const std::string& Text, char Open, char Close) {
    const size_t start = Text.find(Open);
    if (start == std::string::npos)
        return {};
    const size_t end = Text.find_first_of(std::string{Open, Close}, start + 1);
    return Text.substr(start + 1, end == std::string::npos ? end : end - start - 1);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    StartApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size < 2)
        return 0;
    const char delimiter = static_cast<char>(Data[0]);
    const int n = static_cast<int8_t>(Data[1]);
    const std::string text(reinterpret_cast<const char*>(Data) + 2, Size - 2);

    const std::vector<std::string> fields = Fields(text, delimiter);
    const std::string word = NthWord(text, delimiter, n);
    const std::string expected =
        n >= 1 && static_cast<size_t>(n) <= fields.size() ? fields[static_cast<size_t>(n) - 1] : "";
    Check(word == expected, "NthWord", word + " / " + expected);

    // NthPos: the place (from 1) of the n-th delimiter, or one past the end.
    int seen = 0;
    int place = static_cast<int>(text.size()) + 1;
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == delimiter && ++seen == n) {
            place = static_cast<int>(i) + 1;
            break;
        }
    const int pos = NthPos(text, delimiter, n);
    Check(pos == place, "NthPos", std::to_string(pos) + " / " + std::to_string(place));
    Check(pos >= 1 && pos <= static_cast<int>(text.size()) + 1, "NthPos out of the text");
    if (pos <= static_cast<int>(text.size()))
        Check(text[static_cast<size_t>(pos) - 1] == delimiter, "NthPos not at a delimiter");

    static TNMSMTP smtp;
    std::string address;
    if (text.find('<') != std::string::npos)
        address = Between(text, '<', '>');
    else if (text.find(':') != std::string::npos)
        address = Between(text, ':', ':');
    else
        address = text;
    Check(smtp.ExtractAddress(text) == address, "ExtractAddress", text);
    return 0;
}

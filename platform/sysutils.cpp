#include "platform/sysutils.h"

#include <cctype>

bool TryStrToInt(const std::string& S, int32_t& Value) {
    size_t i = 0;
    while (i < S.size() && S[i] == ' ')
        ++i;
    bool negative = false;
    bool hex = false;
    if (i < S.size() && S[i] == '$') {
        hex = true;
        ++i;
    } else if (i < S.size() && (S[i] == 'x' || S[i] == 'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < S.size() && S[i] == '0' && (S[i + 1] == 'x' || S[i + 1] == 'X')) {
        hex = true;
        i += 2;
    } else if (i < S.size() && (S[i] == '+' || S[i] == '-')) {
        negative = S[i] == '-';
        ++i;
    }
    if (i == S.size())
        return false;
    // Hexadecimal text is read as the 32-bit pattern it spells, as the platform does;
    // decimal text must lie within the signed 32-bit range.
    uint64_t acc = 0;
    for (; i < S.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(S[i]);
        unsigned digit;
        if (std::isdigit(c))
            digit = c - '0';
        else if (hex && std::isxdigit(c))
            digit = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
        else
            return false;
        acc = acc * (hex ? 16 : 10) + digit;
        if (acc > (hex ? 0xFFFFFFFFull : 0x80000000ull))
            return false;
    }
    if (hex) {
        Value = static_cast<int32_t>(static_cast<uint32_t>(acc));
        return true;
    }
    if (!negative && acc > 0x7FFFFFFFull)
        return false;
    Value = negative ? static_cast<int32_t>(-static_cast<int64_t>(acc)) : static_cast<int32_t>(acc);
    return true;
}

int32_t StrToInt(const std::string& S) {
    int32_t value = 0;
    if (!TryStrToInt(S, value))
        throw EConvertError("'" + S + "' is not a valid integer value");
    return value;
}

std::string IntToStr(int64_t Value) {
    return std::to_string(Value);
}

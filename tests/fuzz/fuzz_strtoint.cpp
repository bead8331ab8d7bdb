// StrToInt and TryStrToInt on any text, against a plain statement of the rule: leading spaces,
// then an optional sign and decimal digits within the signed 32-bit range, or hexadecimal
// digits after "$", "x" or "0x" (x in either case) that spell a 32-bit pattern; nothing after.
#include <cstdint>
#include <optional>
#include <string>

#include "fuzzpeer.h"
#include "platform/sysutils.h"

using namespace fuzz;

namespace {

std::optional<int32_t> Reference(const std::string& S) {
    size_t i = S.find_first_not_of(' ');
    if (i == std::string::npos)
        return std::nullopt;
    const std::string rest = S.substr(i);
    std::string digits;
    int base = 10;
    bool negative = false;
    if (rest[0] == '$' || rest[0] == 'x' || rest[0] == 'X') {
        base = 16;
        digits = rest.substr(1);
    } else if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
        base = 16;
        digits = rest.substr(2);
    } else if (rest[0] == '+' || rest[0] == '-') {
        negative = rest[0] == '-';
        digits = rest.substr(1);
    } else {
        digits = rest;
    }
    const std::string allowed = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
    if (digits.empty() || digits.find_first_not_of(allowed) != std::string::npos)
        return std::nullopt;
    // Leading zeros never count against the range.
    const size_t significant = digits.find_first_not_of('0');
    digits = significant == std::string::npos ? "0" : digits.substr(significant);
    if (digits.size() > (base == 16 ? 8u : 10u))
        return std::nullopt;
    const uint64_t value = std::stoull(digits, nullptr, base);
    if (base == 16)
        return static_cast<int32_t>(static_cast<uint32_t>(value));
    if (value > (negative ? 2147483648ull : 2147483647ull))
        return std::nullopt;
    return static_cast<int32_t>(negative ? -static_cast<int64_t>(value)
                                         : static_cast<int64_t>(value));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string text(reinterpret_cast<const char*>(Data), Size);
    const std::optional<int32_t> expected = Reference(text);
    int32_t value = 12345;
    const bool ok = TryStrToInt(text, value);
    Check(ok == expected.has_value(), "TryStrToInt accepts what the rule refuses, or not", text);
    if (ok)
        Check(value == *expected, "TryStrToInt value", text);
    try {
        const int32_t converted = StrToInt(text);
        Check(ok && converted == value, "StrToInt differs from TryStrToInt", text);
    } catch (const EConvertError& e) {
        Check(!ok, "StrToInt raised for valid text", text);
        Check(e.Message == "'" + text + "' is not a valid integer value", "StrToInt message");
    }
    return 0;
}

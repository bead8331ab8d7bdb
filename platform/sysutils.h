// Exceptions and conversions shared by every layer.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

// The base exception class: every failure carries a text for the user.
class Exception : public std::exception {
public:
    explicit Exception(std::string Msg) : Message(std::move(Msg)) {}
    const char* what() const noexcept override { return Message.c_str(); }
    std::string Message;
};

// Raised by StrToInt for text that is not a 32-bit integer.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// Converts text to a 32-bit signed integer: leading spaces, then an optional sign and decimal
// digits, or hexadecimal digits after "$", "x" or "0x". Nothing may follow the digits.
// Raises EConvertError "'<text>' is not a valid integer value".
int32_t StrToInt(const std::string& S);

// The same conversion without raising; returns false for text StrToInt refuses.
bool TryStrToInt(const std::string& S, int32_t& Value);

std::string IntToStr(int64_t Value);

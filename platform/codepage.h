// Windows-1251, the single-byte code page of every text the program keeps.
#pragma once

#include <QString>
#include <string>

namespace Win1251 {

// Bytes to Unicode. Every byte has a character, so nothing is lost.
QString ToUnicode(const std::string& Bytes);

// Unicode to bytes. A character the code page lacks becomes '?' and clears *Exact when given.
std::string FromUnicode(const QString& Text, bool* Exact = nullptr);

// Whether every character of Text exists in the code page.
bool CanEncode(const QString& Text);

// The lower-case letter of a byte, Cyrillic included.
unsigned char LowerByte(unsigned char Byte);

// Whether the C library converts the code page. Without it every byte above 127 would stand
// for the character of the same number, and Cyrillic text would not survive a conversion.
bool Available();

} // namespace Win1251

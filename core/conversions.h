#pragma once

#include <string>

// Text to number as an input string stream reads one value: leading white
// space skipped, reading stops at the first character that cannot continue
// the number, no number gives 0, out of range clamps to the type's limit.
// None of them throws.
int stringToInt(const std::string& text);
unsigned int stringToUnsignedInt(const std::string& text);
long stringToLong(const std::string& text);
unsigned long stringToLongInt(const std::string& text);
unsigned long long stringToLongLongInt(const std::string& text);
double stringToDouble(const std::string& text);

// Number to text as an output string stream writes it with default settings.
std::string intToString(int value);
std::string longToString(long value);
std::string longIntToString(long value);
std::string unsignedLongIntToString(unsigned long value);
std::string unsignedLongLongIntToString(unsigned long long value);
std::string doubleToString(double value);

// Dotted text of an IPv4 address stored as a number, most significant byte
// first.
std::string ipFromNumber(unsigned long address);

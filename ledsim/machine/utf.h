// UTF-8 and UTF-16 conversions for paths in scenarios, the brightness store and traces.
#pragma once

#include <string>

// False for text that is not valid UTF-8.
bool Utf8ToUtf16(const std::string& text, std::u16string* result);

// Unpaired surrogates come out as U+FFFD.
std::string Utf16ToUtf8(const char16_t* text, size_t length);
std::string Utf16ToUtf8(const std::u16string& text);

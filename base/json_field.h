#pragma once

#include <string>

// The unescaped string value after the first occurrence of "key" anywhere in
// the text. This is a key lookup, not a JSON parser: structure is never checked.
std::string ReadJsonStringField(const std::string& text, const std::string& key, bool required);

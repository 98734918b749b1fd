#pragma once

#include <map>
#include <optional>
#include <string>

// The unescaped string value after the first occurrence of "key" anywhere in
// the text. This is a key lookup, not a JSON parser: structure is never checked.
std::string ReadJsonStringField(const std::string& text, const std::string& key, bool required);

// The keys and values of a flat JSON object of strings, escapes resolved as
// ReadJsonStringField resolves them. nullopt for any other text: nesting, a
// value that is not a string, a raw control character in a string, a key
// present twice, or anything but white space around the object.
std::optional<std::map<std::string, std::string>> ReadFlatJsonObject(const std::string& text);

#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

// The unescaped string value after the first occurrence of "key" anywhere in
// the text. This is a key lookup, not a JSON parser: structure is never checked.
// Manifests keep it for their four keys when the text is no strict object
// (ReadJsonObject), and the launcher's own state files for every key.
std::string ReadJsonStringField(const std::string& text, const std::string& key, bool required);

// The top-level members of an object: each name with its string value
// (escapes resolved, UTF-8), or nullopt for a value of another kind.
using JsonMembers = std::map<std::string, std::optional<std::string>>;

// Objects nest at most this deep, arrays included, so hostile text stays
// linear to read and cannot exhaust the stack.
inline constexpr int JsonDepthLimit = 64;

// The members of a text that is exactly one JSON object (RFC 8259), white space
// around it allowed. nullopt for any other text: not valid UTF-8, a grammar
// fault, a raw control character or a lone surrogate in a string, a name twice
// in any one object, or nesting past JsonDepthLimit.
std::optional<JsonMembers> ReadJsonObject(std::string_view text);

// `text` as a JSON string, which both the key lookup and any JSON reader give
// back byte for byte as long as it holds no control character: `"` and `\`
// take a backslash, control characters are written \b \f \n \r \t or \u00XX,
// every other byte stays as it is.
std::string JsonText(const std::string& text);

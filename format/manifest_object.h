#pragma once

#include <functional>
#include <string>

#include "format/json.h"

// One update manifest as both programs read and write it.

// The top-level members of a manifest that is one strict JSON object.
using ManifestObject = JsonMembers;

// The fields of a manifest; an empty string is a key not written, or not read.
struct ManifestFields {
    std::string version;
    std::string url;
    std::string sha256;
    std::string executable;
    // Signed further keys (format/manifest_signing_text.h).
    std::string sequence;
    std::string expires;
    std::string signature;            // over the four values; empty: unsigned
    std::string fullSignature;        // over the four values and the further keys
    std::string secondFullSignature;  // over every key but the signatures
    bool byteRanges = false;          // the host serves byte ranges of the builds
    std::string buildIndex;           // SHA-256 of the build's index; empty: none
    std::string keepBuilds;           // stored builds players keep; empty: every one
};

// The value of the string member `name`; empty when it is absent or no string.
std::string StringMember(const ManifestObject& object, const std::string& name);

// The manifest `text` as a launcher reads it; nothing is checked but the text.
// Every launcher reads "version", "url", "sha256" and "executable" with the key
// lookup (ReadJsonStringField, with its sentences), and every other key only
// as a top-level string member of a strict object (ReadJsonObject): a text
// that is no such object has none, so no value can pose as a key the launcher
// acts on. A launcher built with a release key (`keyed`) refuses a text that
// is no such object, or whose four keys hold other values than strings, with
// "The update manifest is malformed", and reads the four from the object too.
// `urlRead` sees the url as soon as it is read, so that the caller's check of
// it comes before a fault in the keys read after it.
ManifestFields ReadManifestFields(const std::string& text, bool keyed,
                                  const std::function<void(const std::string&)>& urlRead = {});

// The keyed read of a text already parsed into `object`: every key from it.
ManifestFields ManifestFieldsOf(const ManifestObject& object,
                                const std::function<void(const std::string&)>& urlRead = {});

// The one place a manifest's text is made: one JSON object on one line, the
// four keys and "platform" always, each further key only with a value, the
// signatures last. Refuses a value with a control character, naming its key.
std::string ManifestJson(const ManifestFields& fields);

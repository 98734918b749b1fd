#pragma once

// The optional manifest key, written by the release tool after the four, that
// says the host serves byte ranges of the files its manifests name: a broken
// download is then resumed instead of started over. Neither text holds the
// quoted name of another key, so the key reader cannot mistake one for another.
inline constexpr char ByteRangesKey[] = "ranges";
inline constexpr char ByteRangesValue[] = "bytes";

// The optional key that names the SHA-256 of the build's file index, from
// which a launcher assembles an update out of stored files and a patch (a
// value that is not 64 hex digits reads as no index).
inline constexpr char BuildIndexKey[] = "build_index";

// The optional key by which a studio sets how many stored builds a player's
// launcher keeps ("1" to "999"); without it every build is kept.
inline constexpr char KeepBuildsKey[] = "keep_builds";

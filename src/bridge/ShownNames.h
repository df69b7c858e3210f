#pragma once

#include <QString>

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// How names that devices chose are shown to people. A name is cut to `maxBytes` bytes of UTF-8
// at a character boundary ("…" added when cut). A name that hides characters (zero-width,
// bidirectional or other format characters, or a backslash that could fake an escape) is
// spelled out: every code point outside printable ASCII as \u{XXXX}. A name that could pass for
// another name on show, because the two differ only by hidden or look-alike characters, is
// spelled out too and gets `lookAlikeMarker`, so that two cards never look the same.
//
// The names on show are given once; `show` then costs one skeleton of at most `maxBytes` bytes,
// whatever the length of the name. What a name keys (a trust record, a request) is never the
// shown text.
class ShownNames {
public:
    static constexpr std::size_t maxBytes = 63;
    static constexpr std::string_view lookAlikeMarker = " (look-alike name)";

    ShownNames() = default;
    // `names` are the names on show now: connected devices, trusted devices, waiting requests.
    explicit ShownNames(const std::vector<std::string_view>& names);

    // `name` as it is shown beside the names on show, in UTF-8.
    std::string show(std::string_view name) const;

    // What is left of a name when characters people cannot tell apart are made equal: hidden
    // characters, controls and line separators dropped, compatibility forms folded (NFKC),
    // combining marks that NFKC left dropped, Cyrillic and Greek letters that look Latin taken as
    // Latin, case folded, white space collapsed. Two names with one skeleton look alike.
    static QString skeleton(const QString& name);
    // Whether the name holds a character that shows as nothing or reorders text, or a
    // backslash.
    static bool hidesCharacters(const QString& name);
    // Printable ASCII as is, except a backslash and spaces at either end or after a space;
    // every other code point as \u{XXXX}.
    static QString escaped(const QString& name);

private:
    struct Cut {
        QString text;
        bool cut = false;
    };
    static Cut cutName(std::string_view name);
    static QString skeletonOf(const Cut& name);

    // The skeleton of each name on show, with the names that have it.
    std::map<QString, std::vector<std::string>> bySkeleton_;
};

} // namespace tarnwick

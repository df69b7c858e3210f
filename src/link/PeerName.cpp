#include "link/PeerName.h"

#include "link/LinkWire.h"

#include <QString>
#include <QTextBoundaryFinder>
#include <QUuid>

#include <vector>

namespace tarnwick {

namespace {

constexpr qsizetype maxCharacters = 63;

enum class Unit { character, codePoint };

// Offsets (in UTF-16 units) at which `text` may be cut, in increasing order, ending with its
// length: after each user-perceived character, or after each code point.
std::vector<qsizetype> boundaries(const QString& text, Unit unit) {
    std::vector<qsizetype> result;
    if (unit == Unit::character) {
        QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
        for (qsizetype at = finder.toNextBoundary(); at > 0; at = finder.toNextBoundary()) {
            result.push_back(at);
        }
        return result;
    }
    for (qsizetype at = 0; at < text.size();) {
        at += (text.at(at).isHighSurrogate() && at + 1 < text.size()) ? 2 : 1;
        result.push_back(at);
    }
    return result;
}

// The longest prefix of at most `characters` pieces that fits in `bytes` bytes of UTF-8.
QString cut(const QString& text, const std::vector<qsizetype>& ends, qsizetype characters,
            qsizetype bytes) {
    QString best;
    for (std::size_t i = 0; i < ends.size() && static_cast<qsizetype>(i) < characters; ++i) {
        const QString prefix = text.left(ends[i]);
        if (prefix.toUtf8().size() > bytes) {
            break;
        }
        best = prefix;
    }
    return best;
}

} // namespace

std::string makePeerName(std::string_view displayName, std::string_view suffix) {
    const QString full =
        QString::fromUtf8(displayName.data(), static_cast<qsizetype>(displayName.size())) +
        QLatin1Char('-') + QString::fromUtf8(suffix.data(), static_cast<qsizetype>(suffix.size()));
    const auto bytes = static_cast<qsizetype>(linkwire::maxPeerNameBytes);
    QString name = cut(full, boundaries(full, Unit::character), maxCharacters, bytes);
    if (name.isEmpty() && !full.isEmpty()) {
        // A single character longer than the byte limit (a long run of combining marks) would
        // leave nothing at all; cut it between code points instead.
        name = cut(full, boundaries(full, Unit::codePoint), maxCharacters, bytes);
    }
    return name.toStdString();
}

std::string randomPeerSuffix() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().left(4).toStdString();
}

} // namespace tarnwick

#include "bridge/ShownNames.h"

#include <QChar>
#include <QList>

#include <algorithm>

namespace tarnwick {

namespace {

constexpr std::string_view ellipsis = "\u2026";

// Characters that show as nothing or steer the text around them: format characters (bidi
// controls, zero-width joiners, the byte order mark, tags), code points that show nothing
// certain (unassigned, private use, lone surrogates), and the blank letters and selectors that
// are not marked as format characters. Controls and line separators are not among them: every
// screen shows them as symbols (visibleText in the window and the terminal).
bool isHidden(char32_t c) {
    switch (QChar::category(c)) {
    case QChar::Other_Format:
    case QChar::Other_Surrogate:
    case QChar::Other_PrivateUse:
    case QChar::Other_NotAssigned:
        return true;
    default:
        break;
    }
    return (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF || (c >= 0xFE00 && c <= 0xFE0F) ||
           (c >= 0xE0100 && c <= 0xE01EF) || (c >= 0x180B && c <= 0x180F) || c == 0x034F ||
           c == 0x115F || c == 0x1160 || c == 0x17B4 || c == 0x17B5 || c == 0x2800 || c == 0x3164 ||
           c == 0xFFA0;
}

// What a skeleton leaves out: the hidden characters, and the controls and separators, which
// show as symbols that say nothing about the name.
bool isDropped(char32_t c) {
    const auto category = QChar::category(c);
    return isHidden(c) || category == QChar::Other_Control || category == QChar::Separator_Line ||
           category == QChar::Separator_Paragraph;
}

bool isMark(char32_t c) {
    const auto category = QChar::category(c);
    return category == QChar::Mark_NonSpacing || category == QChar::Mark_Enclosing ||
           category == QChar::Mark_SpacingCombining;
}

// The Latin letter a Cyrillic or Greek letter (or a digit, or a capital I) is taken for; 0 for
// a character that looks like no other. Capitals map to the lower-case letter of the same
// look, so that case folding afterwards cannot tell them apart either.
char32_t latinLookAlike(char32_t c) {
    switch (c) {
    // Latin and ASCII: I, l, 1 and | are one stroke; 0 is O.
    case U'I':
    case U'1':
    case U'|':
    case 0x0406: // І
    case 0x04C0: // Ӏ
    case 0x04CF: // ӏ
    case 0x0399: // Ι
        return U'l';
    case U'0':
        return U'o';
    case 0x0131: // ı
    case 0x0456: // і
    case 0x03B9: // ι
        return U'i';
    case 0x0251: // ɑ
    case 0x0410: // А
    case 0x0430: // а
    case 0x0391: // Α
    case 0x03B1: // α
        return U'a';
    case 0x0412: // В
    case 0x0392: // Β
        return U'b';
    case 0x0421: // С
    case 0x0441: // с
        return U'c';
    case 0x0501: // ԁ
        return U'd';
    case 0x0415: // Е
    case 0x0435: // е
    case 0x0395: // Ε
        return U'e';
    case 0x0261: // ɡ
        return U'g';
    case 0x041D: // Н
    case 0x04BB: // һ
    case 0x0397: // Η
        return U'h';
    case 0x0408: // Ј
    case 0x0458: // ј
        return U'j';
    case 0x041A: // К
    case 0x039A: // Κ
    case 0x03BA: // κ
        return U'k';
    case 0x041C: // М
    case 0x039C: // Μ
        return U'm';
    case 0x039D: // Ν
        return U'n';
    case 0x041E: // О
    case 0x043E: // о
    case 0x039F: // Ο
    case 0x03BF: // ο
        return U'o';
    case 0x0420: // Р
    case 0x0440: // р
    case 0x03A1: // Ρ
    case 0x03C1: // ρ
        return U'p';
    case 0x051A: // Ԛ
    case 0x051B: // ԛ
        return U'q';
    case 0x0405: // Ѕ
    case 0x0455: // ѕ
        return U's';
    case 0x0422: // Т
    case 0x03A4: // Τ
        return U't';
    case 0x03C5: // υ
        return U'u';
    case 0x03BD: // ν
        return U'v';
    case 0x051C: // Ԝ
    case 0x051D: // ԝ
        return U'w';
    case 0x0425: // Х
    case 0x0445: // х
    case 0x03A7: // Χ
        return U'x';
    case 0x0423: // У
    case 0x0443: // у
    case 0x04AE: // Ү
    case 0x04AF: // ү
    case 0x03A5: // Υ
        return U'y';
    case 0x0396: // Ζ
        return U'z';
    default:
        return 0;
    }
}

QString withoutDropped(const QString& text) {
    QString kept;
    kept.reserve(text.size());
    for (char32_t c : text.toUcs4()) {
        if (!isDropped(c)) {
            kept += QString::fromUcs4(&c, 1);
        }
    }
    return kept;
}

} // namespace

ShownNames::ShownNames(const std::vector<std::string_view>& names) {
    for (std::string_view name : names) {
        auto& holders = bySkeleton_[skeletonOf(cutName(name))];
        if (std::find(holders.begin(), holders.end(), name) == holders.end()) {
            holders.emplace_back(name);
        }
    }
}

std::string ShownNames::show(std::string_view name) const {
    const Cut shown = cutName(name);
    bool lookAlike = false;
    if (auto holders = bySkeleton_.find(skeletonOf(shown)); holders != bySkeleton_.end()) {
        lookAlike = std::any_of(holders->second.begin(), holders->second.end(),
                                [&](const std::string& other) { return other != name; });
    }
    // Spelled out before the ellipsis is added, so that a name's own "…" shows as \u{2026}
    // and cannot pass for a cut.
    std::string text =
        (lookAlike || hidesCharacters(shown.text) ? escaped(shown.text) : shown.text).toStdString();
    if (shown.cut) {
        text += ellipsis;
    }
    if (lookAlike) {
        text += lookAlikeMarker;
    }
    return text;
}

ShownNames::Cut ShownNames::cutName(std::string_view name) {
    if (name.size() <= maxBytes) {
        return {QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())), false};
    }
    std::size_t end = maxBytes;
    // Step back over continuation bytes so that no character is split.
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) {
        --end;
    }
    return {QString::fromUtf8(name.data(), static_cast<qsizetype>(end)), true};
}

QString ShownNames::skeletonOf(const Cut& name) {
    // With the ellipsis a cut adds: a cut name looks like any name that ends in "…" or "...".
    return skeleton(name.cut
                        ? name.text + QString::fromUtf8(ellipsis.data(),
                                                        static_cast<qsizetype>(ellipsis.size()))
                        : name.text);
}

QString ShownNames::skeleton(const QString& name) {
    // Hidden characters go first, so that they cannot keep NFKC from folding what they split.
    const QString folded = withoutDropped(name).normalized(QString::NormalizationForm_KC);
    QString latin;
    latin.reserve(folded.size());
    for (char32_t c : folded.toUcs4()) {
        if (isMark(c) || isDropped(c)) {
            continue;
        }
        if (const char32_t look = latinLookAlike(c)) {
            c = look;
        }
        latin += QString::fromUcs4(&c, 1);
    }
    return latin.toCaseFolded().simplified();
}

bool ShownNames::hidesCharacters(const QString& name) {
    const auto codePoints = name.toUcs4();
    return std::any_of(codePoints.begin(), codePoints.end(),
                       [](char32_t c) { return c == U'\\' || isHidden(c); });
}

QString ShownNames::escaped(const QString& name) {
    const auto codePoints = name.toUcs4();
    QString text;
    for (qsizetype at = 0; at < codePoints.size(); ++at) {
        const char32_t c = codePoints[at];
        // A space shows where another character shows beside it; at either end or in a run it
        // is one of the differences that nobody sees.
        const bool plainSpace =
            c == U' ' && at > 0 && at + 1 < codePoints.size() && codePoints[at - 1] != U' ';
        if ((c > 0x20 && c < 0x7F && c != U'\\') || plainSpace) {
            text += QChar(static_cast<char16_t>(c));
        } else {
            text += QStringLiteral("\\u{%1}").arg(
                QString::number(static_cast<uint>(c), 16).toUpper().rightJustified(4, u'0'));
        }
    }
    return text;
}

} // namespace tarnwick

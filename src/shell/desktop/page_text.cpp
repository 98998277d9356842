#include "page_text.hpp"

#include <cctype>
#include <cstdint>

namespace vantrel::desktop {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Length of the valid UTF-8 sequence starting at text[i], or 0 when the bytes
// there are not one (overlong forms, surrogates and values above U+10FFFF are
// refused, as are truncated sequences).
std::size_t ValidSequenceLength(std::string_view text, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char b0 = byte(i);
    if (b0 < 0x80) return 1;
    std::size_t len;
    std::uint32_t cp;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07;
    } else {
        return 0;
    }
    if (i + len > text.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        unsigned char b = byte(i + k);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) return 0;
    if (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) return 0;
    return len;
}

bool IsSchemeChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
}

// Percent-encodes what may not stand in the path of a file:// address.
std::string EncodePath(std::string_view path) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (char ch : path) {
        auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || std::string_view("/-._~!$&'()*+,;=:@").find(ch) != std::string_view::npos) {
            out += ch;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

}  // namespace

std::string MakeValidUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t len = ValidSequenceLength(text, i);
        if (len == 0) {
            out += kReplacement;
            ++i;
        } else {
            out.append(text.substr(i, len));
            i += len;
        }
    }
    return out;
}

std::string MnemonicLabel(std::string_view caption) {
    std::string out;
    for (std::size_t i = 0; i < caption.size(); ++i) {
        char c = caption[i];
        if (c == '&') {
            if (i + 1 < caption.size() && caption[i + 1] == '&') {
                out += '&';
                ++i;
            } else if (i + 1 < caption.size()) {
                out += '_';
            }
        } else if (c == '_') {
            out += "__";
        } else {
            out += c;
        }
    }
    return out;
}

std::string NavigationUri(std::string_view text) {
    // A scheme is letters, digits, "+", "-", "." before the first ":", starting
    // with a letter. "host:8080/..." names a port, not a scheme.
    std::size_t colon = text.find(':');
    if (colon != std::string_view::npos && colon > 0 &&
        std::isalpha(static_cast<unsigned char>(text[0]))) {
        bool scheme = true;
        for (std::size_t i = 0; i < colon; ++i) scheme = scheme && IsSchemeChar(text[i]);
        std::size_t digits = colon + 1;
        while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
        bool port = digits > colon + 1 && (digits == text.size() || text[digits] == '/' ||
                                           text[digits] == '?' || text[digits] == '#');
        if (scheme && !port) return std::string(text);
    }
    if (!text.empty() && text[0] == '/') return "file://" + EncodePath(text);
    return "http://" + std::string(text);
}

std::string BaseTag(std::string_view folder) {
    return "<BASE HREF=\"" + std::string(folder) + "\">";
}

std::string InsertBaseTag(std::string_view html, std::string_view folder) {
    std::string lower(html);
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::size_t at = lower.find("<head>");
    std::string out(html);
    if (at != std::string::npos) out.insert(at + 6, BaseTag(folder));
    return out;
}

std::string MatchCountText(unsigned current, unsigned count, unsigned limit) {
    if (count == 0) return "No matches";
    if (count > limit) return "More than " + std::to_string(limit) + " matches";
    return std::to_string(current) + " of " + std::to_string(count);
}

}  // namespace vantrel::desktop

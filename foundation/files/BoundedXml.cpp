#include "foundation/files/BoundedXml.h"

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <sstream>

namespace Vel {

namespace {

// The scan mirrors the property-tree reader character for character: wherever the two could
// disagree about what is markup, an attacker could hide element levels from the scan (a
// quote is an ordinary name character, a document type declaration ends at the first ">"
// outside brackets whatever the quotes, and so on). Do not make it "more correct" than the
// reader.
class DepthScan {
public:
    explicit DepthScan(std::string_view text) : text_(text.substr(0, text.find('\0'))) {}

    std::size_t Run(std::size_t limit) {
        std::size_t depth = 0, deepest = 0;
        if (text_.substr(0, 3) == "\xEF\xBB\xBF") i_ = 3;  // the reader skips a UTF-8 BOM
        for (;;) {
            if (depth == 0) {
                SkipWhitespace();
                if (i_ >= text_.size() || text_[i_] != '<') return deepest;  // end, or text the reader refuses
            } else {
                // Text and character references run up to the next "<"; none of them can hide one.
                i_ = text_.find('<', i_);
                if (i_ == std::string_view::npos) return deepest;
                if (At(1) == '/') {  // closing tag: its name is not checked against the open one
                    i_ += 2;
                    SkipName();
                    SkipWhitespace();
                    if (At(0) != '>') return deepest;
                    ++i_;
                    --depth;
                    continue;
                }
            }
            ++i_;  // "<"
            switch (At(0)) {
                case '?':  // declaration or processing instruction
                    if (!SkipPast(i_ + 1, "?>")) return deepest;
                    break;
                case '!':
                    if (!SkipMarkupDeclaration()) return deepest;
                    break;
                default: {
                    bool opens = false;
                    if (!SkipStartTag(opens)) return deepest;
                    if (depth + 1 > deepest) {
                        deepest = depth + 1;
                        if (deepest > limit) return deepest;
                    }
                    if (opens) ++depth;
                }
            }
        }
    }

private:
    char At(std::size_t k) const { return i_ + k < text_.size() ? text_[i_ + k] : '\0'; }
    static bool IsWhitespace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
    static bool IsNameChar(char c) { return c != '\0' && !IsWhitespace(c) && c != '/' && c != '>' && c != '?'; }
    static bool IsAttributeNameChar(char c) {
        return IsNameChar(c) && c != '<' && c != '=' && c != '!';
    }
    void SkipWhitespace() {
        while (i_ < text_.size() && IsWhitespace(text_[i_])) ++i_;
    }
    void SkipName() {
        while (i_ < text_.size() && IsNameChar(text_[i_])) ++i_;
    }
    bool SkipPast(std::size_t from, std::string_view end) {
        const std::size_t at = text_.find(end, from);
        if (at == std::string_view::npos) return false;
        i_ = at + end.size();
        return true;
    }
    bool StartsWith(std::string_view s) const { return text_.substr(i_, s.size()) == s; }

    // At "!": a comment, a CDATA section, the document type declaration or another "<!" node.
    bool SkipMarkupDeclaration() {
        if (StartsWith("!--")) return SkipPast(i_ + 3, "-->");
        if (StartsWith("![CDATA[")) return SkipPast(i_ + 8, "]]>");
        if (StartsWith("!DOCTYPE") && IsWhitespace(At(8))) {
            // Up to the first ">" outside square brackets; quotes mean nothing here.
            for (i_ += 9; At(0) != '>'; ++i_) {
                if (At(0) == '\0') return false;
                if (At(0) == '[') {
                    int brackets = 1;
                    while (brackets > 0) {
                        ++i_;
                        if (At(0) == '[') ++brackets;
                        else if (At(0) == ']') --brackets;
                        else if (At(0) == '\0') return false;
                    }
                }
            }
            ++i_;
            return true;
        }
        return SkipPast(i_ + 1, ">");
    }

    // At an element name: name, attributes, then ">" (opens = true) or "/>".
    bool SkipStartTag(bool& opens) {
        const std::size_t name = i_;
        SkipName();
        if (i_ == name) return false;
        SkipWhitespace();
        while (IsAttributeNameChar(At(0))) {
            ++i_;
            while (IsAttributeNameChar(At(0))) ++i_;
            SkipWhitespace();
            if (At(0) != '=') return false;
            ++i_;
            SkipWhitespace();
            const char quote = At(0);
            if (quote != '"' && quote != '\'') return false;
            const std::size_t close = text_.find(quote, i_ + 1);
            if (close == std::string_view::npos) return false;
            i_ = close + 1;
            SkipWhitespace();
        }
        if (At(0) == '>') {
            ++i_;
            opens = true;
            return true;
        }
        if (At(0) == '/' && At(1) == '>') {
            i_ += 2;
            opens = false;
            return true;
        }
        return false;
    }

    std::string_view text_;  // up to the first NUL: the reader ends its input there
    std::size_t i_ = 0;
};

}  // namespace

std::size_t XmlElementDepth(std::string_view text, std::size_t limit) { return DepthScan(text).Run(limit); }

void ReadBoundedXml(const std::string& text, boost::property_tree::ptree& tree, int flags, std::size_t maxDepth) {
    if (XmlElementDepth(text, maxDepth) > maxDepth)
        throw boost::property_tree::xml_parser_error("elements nested too deeply", std::string(), 0);
    std::istringstream in(text);
    boost::property_tree::read_xml(in, tree, flags);
}

}  // namespace Vel

#include "foundation/core/ParameterStore.h"

#include <charconv>
#include <istream>
#include <locale>
#include <ostream>
#include <sstream>

#include "foundation/core/AppEnvironment.h"
#include "foundation/core/StringUtils.h"

namespace Vel {
namespace {

using Path = boost::property_tree::ptree::path_type;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

std::string_view TrimTrailingSpace(std::string_view text) {
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string_view TrimLeadingSpace(std::string_view text) {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    return text;
}

// A stream-style number read: leading and trailing blanks allowed; between them at most one
// sign and then the digits, nothing else. Never the process locale.
template <class T>
bool ReadNumber(std::string_view text, T& out) {
    text = TrimTrailingSpace(TrimLeadingSpace(text));
    if constexpr (std::is_integral_v<T>) {
        return ParseWholeDecimal(text, out);
    } else {
        // One sign, then digits or a point and digits: "inf", "nan" and a second sign are no numbers.
        const bool negative = !text.empty() && text.front() == '-';
        if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
        const bool digitFirst = !text.empty() && IsDigit(text.front());
        const bool pointFirst = text.size() > 1 && text[0] == '.' && IsDigit(text[1]);
        if (!digitFirst && !pointFirst) return false;
        T value{};
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || end != text.data() + text.size()) return false;
        out = negative ? -value : value;
        return true;
    }
}

bool ReadBool(std::string_view text, bool& out) {
    int number = 0;
    if (ReadNumber(text, number)) {
        if (number != 0 && number != 1) return false;
        out = number == 1;
        return true;
    }
    const auto trimmed = TrimTrailingSpace(TrimLeadingSpace(text));
    if (trimmed == "true") return out = true, true;
    if (trimmed == "false") return out = false, true;
    return false;
}

template <class T>
std::string WriteNumber(T value) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return ec == std::errc() ? std::string(buffer, end) : std::string();
}

const int kOpenIndex = std::ios_base::xalloc();
const int kCloseIndex = std::ios_base::xalloc();
const int kSeparatorIndex = std::ios_base::xalloc();

// iword values: 0 = default, -1 = none, otherwise the character + 1.
char Delimiter(std::ios_base& stream, int index, char fallback) {
    const long v = stream.iword(index);
    if (v == 0) return fallback;
    if (v < 0) return 0;
    return static_cast<char>(v - 1);
}

}  // namespace

const std::string* ParameterStore::FindText(const std::string& key) const {
    const Path path(key, '.');
    if (auto node = primary_.get_child_optional(path)) return &node->data();
    for (const auto& tree : fallbacks_) {
        if (auto node = tree.get_child_optional(path)) return &node->data();
    }
    return nullptr;
}

void ParameterStore::SetText(const std::string& key, const std::string& text) {
    primary_.put(Path(key, '.'), text);
}

bool ParameterStore::Get(const std::string& key, ParameterType, bool& out) const {
    const auto* text = FindText(key);
    if (!text) return false;
    ReadBool(*text, out);
    return true;
}

#define VEL_PARAMETER_NUMBER_GET(T)                                              \
    bool ParameterStore::Get(const std::string& key, ParameterType, T& out) const { \
        const auto* text = FindText(key);                                        \
        if (!text) return false;                                                 \
        ReadNumber(*text, out);                                                  \
        return true;                                                             \
    }
VEL_PARAMETER_NUMBER_GET(std::int32_t)
VEL_PARAMETER_NUMBER_GET(std::uint32_t)
VEL_PARAMETER_NUMBER_GET(std::uint64_t)
VEL_PARAMETER_NUMBER_GET(float)
#undef VEL_PARAMETER_NUMBER_GET

bool ParameterStore::Get(const std::string& key, ParameterType, std::string& out) const {
    const auto* text = FindText(key);
    if (!text) return false;
    out = *text;
    return true;
}

bool ParameterStore::Get(const std::string& key, ParameterType, std::vector<std::uint32_t>& out) const {
    const auto* text = FindText(key);
    if (!text) return false;
    std::istringstream in(*text);
    in.imbue(std::locale::classic());
    std::vector<std::uint32_t> list;
    if (ReadUIntList(in, list) && (in.peek(), in.eof())) out = std::move(list);
    return true;
}

bool ParameterStore::Get(const std::string& key, ParameterType, VelDuration& out) const {
    const auto* text = FindText(key);
    if (!text) return false;
    std::istringstream in(*text);
    VelDuration value;
    if (in >> value) {
        in >> std::ws;  // trailing white space is allowed, anything else is not
        if (in.eof()) out = value;
    }
    return true;
}

void ParameterStore::Set(const std::string& key, ParameterType, bool value) {
    SetText(key, value ? "true" : "false");
}
void ParameterStore::Set(const std::string& key, ParameterType, std::int32_t value) { SetText(key, WriteNumber(value)); }
void ParameterStore::Set(const std::string& key, ParameterType, std::uint32_t value) { SetText(key, WriteNumber(value)); }
void ParameterStore::Set(const std::string& key, ParameterType, std::uint64_t value) { SetText(key, WriteNumber(value)); }
void ParameterStore::Set(const std::string& key, ParameterType, float value) { SetText(key, WriteNumber(value)); }
void ParameterStore::Set(const std::string& key, ParameterType, const std::string& value) { SetText(key, value); }
void ParameterStore::Set(const std::string& key, ParameterType, const std::vector<std::uint32_t>& value) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    WriteUIntList(out, value);
    SetText(key, out.str());
}

void ParameterStore::Set(const std::string& key, ParameterType, const VelDuration& value) {
    SetText(key, value.ToString(1));
}

std::string GetConfigString(const std::string& key, const std::string& defaultValue) {
    std::string result = defaultValue;
    GetParameterStore().Get(key, ParameterType::String, result);
    return result;
}

void ImportParameters(const std::vector<std::string>& tokens) {
    auto& store = GetParameterStore();
    for (const auto& token : tokens) {
        const auto eq = token.find('=');
        if (eq == std::string::npos)
            store.Set(token, ParameterType::Int, std::int32_t{1});
        else {
            store.Set(token.substr(0, eq), ParameterType::String, token.substr(eq + 1));
            if (eq > 0 && token[0] != '-') store.importedAssignments_.push_back(token);
        }
    }
}

int ParseIntOrZero(std::string_view text) {
    int value = 0;
    return ParseWholeDecimal(text, value) ? value : 0;
}

std::int64_t ParseInt64OrZero(std::string_view text) {
    std::int64_t value = 0;
    return ParseWholeDecimal(text, value) ? value : 0;
}

// A bool is the number 0 or 1 under the same rule ("+1" and "01" are true, "true" is not a bool).
bool ParseBoolOrFalse(std::string_view text) {
    int value = 0;
    return ParseWholeDecimal(text, value) && value == 1;
}

std::ostream& StreamCString(std::ostream& stream, const char* text) {
    return stream << (text ? text : "<null>");
}

void SetUIntListDelimiters(std::ios_base& stream, char open, char close, char separator) {
    auto encode = [](char c) { return c == 0 ? -1L : static_cast<long>(static_cast<unsigned char>(c)) + 1; };
    stream.iword(kOpenIndex) = encode(open);
    stream.iword(kCloseIndex) = encode(close);
    stream.iword(kSeparatorIndex) = encode(separator);
}

std::ostream& WriteUIntList(std::ostream& stream, const std::vector<std::uint32_t>& list) {
    const char open = Delimiter(stream, kOpenIndex, '[');
    const char close = Delimiter(stream, kCloseIndex, ']');
    const char separator = Delimiter(stream, kSeparatorIndex, ',');
    if (open) stream << open;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i > 0 && separator) stream << separator;
        stream << WriteNumber(list[i]);
    }
    if (close) stream << close;
    return stream;
}

std::istream& ReadUIntList(std::istream& stream, std::vector<std::uint32_t>& list) {
    const char open = Delimiter(stream, kOpenIndex, '[');
    const char close = Delimiter(stream, kCloseIndex, ']');
    const char separator = Delimiter(stream, kSeparatorIndex, ',');
    auto skipSpace = [&] {
        while (stream.good() && IsBlank(stream.peek())) stream.get();
    };
    skipSpace();
    if (open) {
        if (stream.peek() != std::char_traits<char>::to_int_type(open)) {
            stream.setstate(std::ios::failbit);
            return stream;
        }
        stream.get();
    }
    std::vector<std::uint32_t> parsed;
    for (bool first = true;; first = false) {
        skipSpace();
        const int next = stream.peek();
        if (next == std::char_traits<char>::eof()) {
            stream.clear(stream.rdstate() & ~std::ios::failbit);
            break;
        }
        if (close && next == std::char_traits<char>::to_int_type(close)) {
            stream.get();
            break;
        }
        if (!first && separator && next == std::char_traits<char>::to_int_type(separator)) {
            stream.get();
            skipSpace();
        }
        std::string digits;
        while (stream.peek() >= '0' && stream.peek() <= '9') digits += static_cast<char>(stream.get());
        std::uint32_t value = 0;
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) {
            stream.setstate(std::ios::failbit);
            return stream;  // the caller's list stays as it was
        }
        parsed.push_back(value);
    }
    skipSpace();
    if (stream.eof()) stream.clear(stream.rdstate() & ~std::ios::failbit);
    list = std::move(parsed);
    return stream;
}

}  // namespace Vel

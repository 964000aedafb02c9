#pragma once
// Typed configuration values addressed by dotted keys ("web.update.url"), with fallback trees.
//
// Contract:
// - Values are kept as text and converted on every Get/Set by the type code; numbers use the
//   classic "C" rules whatever the process locale: blanks around the text, at most one sign,
//   then digits (ParseWholeDecimal); a float also takes a fraction and an exponent.
// - Get returns true when the key exists in the primary tree or a fallback tree (in list
//   order). An unconvertible text still returns true and leaves `out` as it was; a missing key
//   returns false and leaves `out` as it was.
// - Key names compare case-sensitively.
// - No lock: the process-wide store (GetParameterStore, in AppEnvironment.h) is written only on
//   the main thread during start-up, before other threads exist, and only read afterwards.

#include <boost/property_tree/ptree.hpp>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/core/Duration.h"

namespace Vel {

enum class ParameterType : int {
    Bool = 0,
    Int = 1,
    UInt = 2,
    UInt64 = 3,
    Float = 4,
    String = 5,
    UIntList = 6,
    Duration = 7,
};

class ParameterStore {
public:
    using Tree = boost::property_tree::ptree;

    bool Get(const std::string& key, ParameterType type, bool& out) const;
    bool Get(const std::string& key, ParameterType type, std::int32_t& out) const;
    bool Get(const std::string& key, ParameterType type, std::uint32_t& out) const;
    bool Get(const std::string& key, ParameterType type, std::uint64_t& out) const;
    bool Get(const std::string& key, ParameterType type, float& out) const;
    bool Get(const std::string& key, ParameterType type, std::string& out) const;
    bool Get(const std::string& key, ParameterType type, std::vector<std::uint32_t>& out) const;
    // The stream form of VelDuration: style 1 written, the duration grammar read.
    bool Get(const std::string& key, ParameterType type, VelDuration& out) const;

    void Set(const std::string& key, ParameterType type, bool value);
    void Set(const std::string& key, ParameterType type, std::int32_t value);
    void Set(const std::string& key, ParameterType type, std::uint32_t value);
    void Set(const std::string& key, ParameterType type, std::uint64_t value);
    void Set(const std::string& key, ParameterType type, float value);
    void Set(const std::string& key, ParameterType type, const std::string& value);
    void Set(const std::string& key, ParameterType type, const char* value) { Set(key, type, std::string(value)); }
    void Set(const std::string& key, ParameterType type, const std::vector<std::uint32_t>& value);
    void Set(const std::string& key, ParameterType type, const VelDuration& value);

    // Appends a tree that Get consults after the primary one.
    void AddFallback(Tree tree) { fallbacks_.push_back(std::move(tree)); }

    // The "key=value" texts ImportParameters took from the command line, as given and in their
    // order (a bare name is not among them). A restart of the program passes them on.
    const std::vector<std::string>& GetImportedAssignments() const noexcept { return importedAssignments_; }

private:
    const std::string* FindText(const std::string& key) const;
    void SetText(const std::string& key, const std::string& text);

    Tree primary_;
    std::vector<Tree> fallbacks_;
    std::vector<std::string> importedAssignments_;

    friend void ImportParameters(const std::vector<std::string>& tokens);
};

// The default, replaced by the store's text when the key exists (an empty value stays empty).
std::string GetConfigString(const std::string& key, const std::string& defaultValue);

// Command-line assignments: "key=value" sets a text, a bare "key" sets the integer 1. The
// assignments whose key is not empty and does not start with '-' (an unknown option written
// "--name=value" is not a parameter to hand on) are also kept in GetImportedAssignments.
void ImportParameters(const std::vector<std::string>& tokens);

// Whole-text conversions giving 0 / false for anything that is not a valid value: at most one
// sign, then digits, nothing around them; a bool is the number 0 or 1.
int ParseIntOrZero(std::string_view text);
std::int64_t ParseInt64OrZero(std::string_view text);
bool ParseBoolOrFalse(std::string_view text);

// Writes the text, or "<null>" for a null pointer.
std::ostream& StreamCString(std::ostream& stream, const char* text);

// The text form of an unsigned list, "[1,2,3]". The delimiters are per-stream settings with the
// defaults '[', ']' and ','; 0 means "no such character".
void SetUIntListDelimiters(std::ios_base& stream, char open, char close, char separator);
std::ostream& WriteUIntList(std::ostream& stream, const std::vector<std::uint32_t>& list);
// On failure the stream's failbit is set and the list is left as it was.
std::istream& ReadUIntList(std::istream& stream, std::vector<std::uint32_t>& list);

}  // namespace Vel

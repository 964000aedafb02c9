#pragma once
// CommaDecimalLocale: for its lifetime, the global C++ locale writes and reads numbers with ","
// as the decimal point and "." between groups of three digits (1234567.5 is "1.234.567,5"), as
// a German desktop does. The locale is made here from a numpunct facet, so it needs no locale
// data installed on the machine; any std::stringstream made while it is active follows it. The
// C locale (setlocale) is left as it is, and restored as it was when the object ends.
//
// For tests only, on the test's main thread while no other thread reads the global locale.

#include <clocale>
#include <locale>
#include <sstream>
#include <string>

namespace Vel::Test {

class CommaDecimalLocale {
public:
    CommaDecimalLocale()
        : cLocale_(CurrentCLocale()),
          previous_(std::locale::global(std::locale(std::locale::classic(), new Punctuation))) {}
    ~CommaDecimalLocale() {
        std::locale::global(previous_);
        std::setlocale(LC_ALL, cLocale_.c_str());  // a named previous locale has reset it
    }
    CommaDecimalLocale(const CommaDecimalLocale&) = delete;
    CommaDecimalLocale& operator=(const CommaDecimalLocale&) = delete;

    // What a default stream makes of 1234567.5 now: "1.234.567,5" while the locale is in force,
    // so a test can show that it does not pass vacuously.
    static std::string StreamSample() {
        std::ostringstream out;
        out << std::fixed;
        out.precision(1);
        out << 1234567.5;
        return out.str();
    }

private:
    struct Punctuation final : std::numpunct<char> {
        char do_decimal_point() const override { return ','; }
        char do_thousands_sep() const override { return '.'; }
        std::string do_grouping() const override { return "\3"; }
    };

    static std::string CurrentCLocale() {
        const char* name = std::setlocale(LC_ALL, nullptr);
        return name != nullptr ? name : "C";
    }

    std::string cLocale_;
    std::locale previous_;
};

}  // namespace Vel::Test

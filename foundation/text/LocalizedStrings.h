#pragma once
// Texts of the string table in the calling thread's language, falling back to US English and
// then to the empty text; and the thread's language itself.
//
// Contract:
// - The tables of resources/strings/ are compiled into the program and parsed once, on first
//   use (thread-safe); afterwards they are read-only, so lookups may run on any thread.
// - A language is identified by its language id (the low 16 bits of a Windows lcid); an lcid
//   with other high bits (a sort order) finds the same table.
// - The thread's language is a thread-local lcid. A thread that has not set it starts with the
//   stored language's lcid (the setting Language/Language; 1033 while none is stored), read the
//   first time the thread asks. SetThreadLocale and ApplyThreadUiLanguage change only the
//   calling thread's language.
// - Texts are UTF-8.

#include <cstdint>
#include <string>

namespace Vel {

class StringTable;

// The table of exactly that language, or null when the program has none.
const StringTable* FindStringTable(std::uint32_t lcid);

// Fills text and returns true when the table of that language holds a non-empty entry;
// otherwise false and text untouched.
bool LoadStringForLanguage(unsigned id, std::uint32_t lcid, std::string& text);
// The entry in the thread's language, else in US English, else "".
std::string LoadLocalizedString(unsigned id);

std::uint32_t GetThreadLocale();
void SetThreadLocale(std::uint32_t lcid) noexcept;
// Sets the thread's language to the stored language's lcid (1033 while none is stored).
void ApplyThreadUiLanguage();

}  // namespace Vel

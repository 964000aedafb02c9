#pragma once
// Qt's own texts (the standard buttons of message boxes and button boxes, the folder picker's
// captions) in the launcher's language, from Qt's qtbase translations as the system installs
// them (Debian: qt6-translations-l10n, under Qt's translations folder).
//
// Contract:
// - ApplyQtTranslations(lcid) installs on the application the qtbase translation of that
//   language and removes the one it installed before; windows made afterwards, and open ones
//   that retranslate themselves, show Qt's texts in it. US English, and every language without
//   interface texts of ours (the launcher shows those in English), installs none: Qt's texts
//   are English. Applying the language already in force changes nothing.
// - It returns false when the language has a translation file name but the file cannot be
//   loaded (not installed): Qt's texts then stay English. True otherwise.
// - Without a QApplication it does nothing and returns false. GUI thread only; the translator
//   belongs to the application.

#include <cstdint>
#include <string>

namespace Vel {

// The qtbase translation file of that language ("<Qt's translations folder>/qtbase_fr.qm");
// empty for US English and the languages without interface texts.
std::string QtTranslationsFile(std::uint32_t lcid);

bool ApplyQtTranslations(std::uint32_t lcid);

}  // namespace Vel

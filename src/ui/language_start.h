#pragma once
// The window's part of the language step at start: the texts of the
// language file the ini names are applied to the window, pages included.
// When that cannot be done the window keeps its built-in texts and the
// operator is told why, in one notice:
// - the file is missing: it is created from the window's texts (so there is
//   a file to translate), or the notice says why it could not be;
// - the file cannot be read, is not UTF-8 text, or holds no texts for the
//   window ("Translations" keys starting with "MainForm.").

#include <string>

#include "config/language_file.h"

class QWidget;

namespace kvx::ui {

// Applies `start` (what the runtime read) to `window`. Returns the notice
// for the operator, empty when the texts were applied.
std::string ApplyStartLanguage(QWidget& window, const LanguageStart& start);

}  // namespace kvx::ui

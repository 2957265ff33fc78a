#pragma once
// Captions, hints and texts by object name: the hook through which language
// files reach the window. Keys have the form "MainForm.Caption" (the window
// caption) or "MainForm.<object name>.Caption|Hint|Text"; values use "~~" for
// a line break. Reading and writing the files themselves is not done here.

#include <string>
#include <utility>
#include <vector>

class QWidget;

namespace kvx::ui {

using LanguageText = std::pair<std::string, std::string>;  // key, value (UTF-8)

// Applies every key whose first part is the window's object name; keys for
// other windows, unknown objects or properties an object lacks are skipped.
// Returns the number of properties set.
int ApplyLanguageTexts(QWidget& window, const std::vector<LanguageText>& texts);

// The window's current texts in the same form, for creating a language file:
// the window caption, then each named object's caption, hint and text;
// empty values and "-" captions are left out.
std::vector<LanguageText> CollectLanguageTexts(const QWidget& window);

}  // namespace kvx::ui

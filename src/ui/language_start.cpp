#include "ui/language_start.h"

#include <QStringDecoder>
#include <QWidget>
#include <map>

#include "config/ini_file.h"
#include "ui/language_texts.h"

namespace kvx::ui {
namespace {

const char* PropertyName(TextProperty p) {
  switch (p) {
    case TextProperty::Caption:
      return "Caption";
    case TextProperty::Hint:
      return "Hint";
    case TextProperty::Text:
      return "Text";
  }
  return "Caption";
}

// The window's texts in the form a new language file is written from.
std::vector<ComponentTexts> WindowTexts(const QWidget& window) {
  const std::string prefix = window.objectName().toStdString() + ".";
  std::vector<ComponentTexts> out;
  std::map<std::string, std::size_t> index;
  for (const auto& [key, value] : CollectLanguageTexts(window)) {
    // "MainForm.Caption" or "MainForm.<component>.<property>"
    std::string rest = key.substr(prefix.size());
    const std::size_t dot = rest.rfind('.');
    const std::string component = dot == std::string::npos ? std::string() : rest.substr(0, dot);
    const std::string property = dot == std::string::npos ? rest : rest.substr(dot + 1);
    auto [it, added] = index.try_emplace(component, out.size());
    if (added) out.push_back(ComponentTexts{component, {}, {}, {}});
    ComponentTexts& c = out[it->second];
    std::string v = value;
    for (std::size_t p; (p = v.find("~~")) != std::string::npos;) v.replace(p, 2, "\n");
    if (property == "Caption")
      c.caption = v;
    else if (property == "Hint")
      c.hint = v;
    else if (property == "Text")
      c.text = v;
  }
  return out;
}

bool IsUtf8(const std::string& bytes) {
  QStringDecoder decode(QStringDecoder::Utf8);
  // The decoder decodes when its result becomes a string.
  const QString text = decode.decode(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
  return !decode.hasError();
}

}  // namespace

std::string ApplyStartLanguage(QWidget& window, const LanguageStart& start) {
  const std::string file = start.path.string();
  const std::string kept = " The window keeps its built-in texts.";
  std::error_code ec;
  if (!std::filesystem::exists(start.path, ec)) {
    const FileResult made =
        LanguageFile::Create(start.path, window.objectName().toStdString(), WindowTexts(window));
    if (!made)
      return "The language file " + file + " was not found and could not be created (" +
             made.describe() + ")." + kept;
    return "The language file " + file + " was not found; it has been created from the " +
           "window's built-in texts, which the window keeps.";
  }
  const auto text = ReadTextFile(start.path);
  if (!text) return "The language file " + file + " could not be read." + kept;
  if (!IsUtf8(*text)) return "The language file " + file + " is not UTF-8 text." + kept;
  if (start.translations.empty())
    return "The language file " + file + " holds no texts for the window (section Translations)." +
           kept;

  std::vector<LanguageText> texts;
  const std::string window_ = window.objectName().toStdString();
  for (const Translation& t : start.translations) {
    std::string key = window_;
    if (!t.component.empty()) key += "." + t.component;
    key += std::string(".") + PropertyName(t.property);
    texts.emplace_back(std::move(key), t.text);
  }
  ApplyLanguageTexts(window, texts);
  return {};
}

}  // namespace kvx::ui

#include "base/messages.h"

#include <array>
#include <utility>

namespace quillon {
namespace {

constexpr std::array<std::pair<int, std::string_view>, 14> kTable{{
    {101, "Quillon のﾊﾞｰｼﾞｮﾝ情報(&A)..."},
    {200, "mot ﾌｧｲﾙ (*.mot)|*.mot||"},
    {201, "バージョンアップファイル選択"},
    {202, "機器をブートモードで再起動してください。"},
    {203, "ブートレコードを転送中です"},
    {204, "バージョンアップデータを転送中です。"},
    {205, "バージョンアップが終了しました\nディップスイッチを元に戻し、装置を再起動してください。"},
    {500, "ブート用ファイルが見つかりません。"},
    {501, "バージョンアップファイルが見つかりません。"},
    {502, "ブートファイルの転送に失敗しました。"},
    {503, "バージョンアップファイルの転送に失敗しました。"},
    {504, "COM%dがオープンできません。"},
    {505, "バージョンアップファイルの内容に誤りがあります。"},
    {506, "ブートファイルの内容に誤りがあります。"},
}};

// The same messages in English, for the command line's readers of English.
constexpr std::array<std::pair<int, std::string_view>, 14> kEnglish{{
    {101, "&About Quillon..."},
    {200, "mot files (*.mot)|*.mot||"},
    {201, "Choose the update file"},
    {202, "Restart the device in boot mode."},
    {203, "Sending the boot program"},
    {204, "Sending the update."},
    {205, "The update has finished.\nSet the DIP switches back and restart the device."},
    {500, "The boot file cannot be found."},
    {501, "The update file cannot be found."},
    {502, "Sending the boot file failed."},
    {503, "Sending the update file failed."},
    {504, "COM%d cannot be opened."},
    {505, "The update file's contents are wrong."},
    {506, "The boot file's contents are wrong."},
}};

std::string_view Find(const auto& table, int id) {
  for (const auto& [key, text] : table) {
    if (key == id) return text;
  }
  return {};
}

std::string WithPort(std::string text, std::string_view port_label) {
  constexpr std::string_view kPlaceholder = "COM%d";
  if (auto at = text.find(kPlaceholder); at != std::string::npos)
    text.replace(at, kPlaceholder.size(), port_label);
  return text;
}

}  // namespace

std::string_view MessageTextEnglish(int id) { return Find(kEnglish, id); }

namespace {

// Whether `text` is message `id` as it is shown; 504's port label comes back in `port`.
bool IsShownMessage(int id, std::string_view text, std::string_view& port) {
  const std::string_view table = Find(kTable, id);
  if (id != kMsgPortOpenFailed) return !table.empty() && text == table;
  // 504 as shown names its port where the table has COM%d.
  const auto at = table.find("COM%d");
  const std::string_view before = table.substr(0, at), after = table.substr(at + 5);
  if (text.size() < before.size() + after.size() || text.substr(0, before.size()) != before ||
      text.substr(text.size() - after.size()) != after) {
    return false;
  }
  port = text.substr(before.size(), text.size() - before.size() - after.size());
  return true;
}

}  // namespace

std::string MessageTextEnglish(int id, std::string_view text) {
  const std::string_view english = MessageTextEnglish(id);
  std::string_view port;
  // Only the message's own text has this English; any other text is shown as it is.
  if (english.empty() || !IsShownMessage(id, text, port)) return std::string(text);
  return id == kMsgPortOpenFailed ? WithPort(std::string(english), port) : std::string(english);
}

std::string ShownTextFrom(std::string_view text, const std::function<std::string(int id)>& other) {
  for (const auto& [id, japanese] : kTable) {
    std::string_view port;
    if (!IsShownMessage(id, text, port)) continue;
    std::string words = other(id);
    if (words.empty()) return std::string(text);
    return id == kMsgPortOpenFailed ? WithPort(std::move(words), port) : words;
  }
  return std::string(text);
}

std::string_view MessageText(int id) { return Find(kTable, id); }

std::string EnglishOfShownText(std::string_view text) {
  return ShownTextFrom(text, [](int id) { return std::string(MessageTextEnglish(id)); });
}

bool IsJapaneseLocale(std::string_view locale) {
  return locale.size() >= 2 && (locale[0] == 'j' || locale[0] == 'J') && (locale[1] == 'a' || locale[1] == 'A') &&
         (locale.size() == 2 || locale[2] == '_' || locale[2] == '-' || locale[2] == '.' || locale[2] == 'p');
}

std::string ComLabel(int com) { return "COM" + std::to_string(com); }

std::string PortOpenFailedText(std::string_view port_label) {
  return WithPort(std::string(MessageText(kMsgPortOpenFailed)), port_label);
}

std::string MessageTextNaming(int id, std::string_view port_label) {
  return id == kMsgPortOpenFailed ? PortOpenFailedText(port_label) : std::string(MessageText(id));
}

std::string MessageTextEnglishNaming(int id, std::string_view port_label) {
  const std::string_view english = MessageTextEnglish(id);
  if (english.empty()) return MessageTextNaming(id, port_label);
  return id == kMsgPortOpenFailed ? WithPort(std::string(english), port_label) : std::string(english);
}

}  // namespace quillon

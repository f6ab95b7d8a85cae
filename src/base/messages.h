#pragma once
// The program's string table: every text a person sees, by its message id.

#include <functional>
#include <string>
#include <string_view>

namespace quillon {

enum MessageId : int {
  kMsgAboutItem = 101,
  kMsgBrowseFilter = 200,
  kMsgBrowseTitle = 201,
  kMsgRestartInBootMode = 202,
  kMsgBootProgress = 203,
  kMsgFlashProgress = 204,
  kMsgUpdateFinished = 205,
  kMsgNoBootFile = 500,
  kMsgNoDataFile = 501,
  kMsgBootSendFailed = 502,
  kMsgDataSendFailed = 503,
  kMsgPortOpenFailed = 504,
  kMsgDataFileBad = 505,
  kMsgBootFileBad = 506,
};

/// The UTF-8 text of a message id; empty for an id the table does not hold.
std::string_view MessageText(int id);

/// The English of a message id's text; empty for an id without one.
std::string_view MessageTextEnglish(int id);
/// The English of a message as it was shown (`text`: 504 names its port); `text` itself for
/// an id without English or a text that is not the message's own.
std::string MessageTextEnglish(int id, std::string_view text);

/// Message 504 with its "COM%d" naming the port the way the user named it.
std::string PortOpenFailedText(std::string_view port_label);

/// A message's text as it is shown: 504 names `port_label` where the table has "COM%d".
std::string MessageTextNaming(int id, std::string_view port_label);
/// The same in English (the table's own text for an id without English).
std::string MessageTextEnglishNaming(int id, std::string_view port_label);

/// The English of a text the update shows (a message, 504 naming its port); `text` itself
/// for one that is no message or has no English.
std::string EnglishOfShownText(std::string_view text);

/// A text the update shows (a message; 504 naming its port) in the words of another string
/// table, which `other` gives by message id (504's with "COM%d" where the port goes); `text`
/// itself for a text that is no message or that `other` has no words for.
std::string ShownTextFrom(std::string_view text, const std::function<std::string(int id)>& other);

/// Whether a locale's name is Japanese: "ja", "ja_JP.UTF-8", "ja-JP", "Japanese_Japan.932".
bool IsJapaneseLocale(std::string_view locale);

/// "COM" followed by the number in signed decimal, as message 504 and the COM list show it.
std::string ComLabel(int com);

}  // namespace quillon

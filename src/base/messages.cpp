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

}  // namespace

std::string_view MessageText(int id) {
  for (const auto& [key, text] : kTable) {
    if (key == id) return text;
  }
  return {};
}

std::string ComLabel(int com) { return "COM" + std::to_string(com); }

std::string PortOpenFailedText(std::string_view port_label) {
  std::string text(MessageText(kMsgPortOpenFailed));
  constexpr std::string_view kPlaceholder = "COM%d";
  if (auto at = text.find(kPlaceholder); at != std::string::npos) {
    text.replace(at, kPlaceholder.size(), port_label);
  }
  return text;
}

}  // namespace quillon

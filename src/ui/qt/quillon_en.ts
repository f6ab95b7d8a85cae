<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<!-- The desktop program's own texts in English, for a reader whose language is not Japanese.
     The sources are the texts the program shows in Japanese; the messages of the update come
     in English from the table the command line uses. -->
<TS version="2.1" language="en_US" sourcelanguage="ja_JP">
<context>
    <name>quillon</name>
    <message>
        <source>バージョンアップファイル：</source>
        <translation>Update file:</translation>
    </message>
    <message>
        <source>参照(&amp;B)...</source>
        <translation>&amp;Browse...</translation>
    </message>
    <message>
        <source>COMポート(&amp;C)：</source>
        <translation>&amp;COM port:</translation>
    </message>
    <message>
        <source>送信</source>
        <translation>Send</translation>
    </message>
    <message>
        <source>閉じる</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>ファイルを選択してください</source>
        <translation>Choose a file</translation>
    </message>
    <message>
        <source>Quillonのﾊﾞｰｼﾞｮﾝ情報</source>
        <translation>About Quillon</translation>
    </message>
    <message>
        <source>バージョンアップ進捗状況</source>
        <translation>Update progress</translation>
    </message>
</context>
</TS>
